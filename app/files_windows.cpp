// The command line, the console and the input on Windows. Paths go to the
// wide (UTF-16) calls only: the narrow ones pass through the ANSI code page, which
// cannot name every file and replaces some characters with look-alikes.

#include <windows.h>

#include <io.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "app/files.h"
#include "app/files_windows.h"

namespace {

std::FILE* input_stream = nullptr;

bool to_utf8(const wchar_t* wide, char* utf8, int size)
{
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) > 0;
}

// Keeps a wide argument, as the system's calls take it, and its UTF-8 form, for the
// messages; false where either does not fit.
bool keep_argument(const wchar_t* argument, wchar_t (&path)[WIDE_PATH_MAX], char (&shown)[3 * WIDE_PATH_MAX])
{
    std::size_t length = std::wcslen(argument);
    if (length >= WIDE_PATH_MAX || !to_utf8(argument, shown, sizeof shown))
        return false;
    std::wmemcpy(path, argument, length + 1);
    return true;
}

}  // namespace

int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    default:
        return WINDOWS_ERRNO + static_cast<int>(error);
    }
}

void print_error(const char* message, file_error error)
{
    if (error >= WINDOWS_ERRNO) {
        std::fprintf(stderr, "%s: Windows error %d\n", message, error - WINDOWS_ERRNO);
        return;
    }
    errno = error;
    std::perror(message);
}

bool long_path(const wchar_t* path, wchar_t (&full)[WIDE_PATH_MAX])
{
    static wchar_t resolved[WIDE_PATH_MAX];
    DWORD length = GetFullPathNameW(path, WIDE_PATH_MAX, resolved, nullptr);
    if (length == 0 || length >= WIDE_PATH_MAX)
        return false;
    if (std::wcsncmp(resolved, L"\\\\?\\", 4) == 0 || std::wcsncmp(resolved, L"\\\\.\\", 4) == 0)
        return std::swprintf(full, WIDE_PATH_MAX, L"%ls", resolved) >= 0;  // a device, or prefixed already
    if (resolved[0] == L'\\' && resolved[1] == L'\\')                     // \\server\share\...
        return std::swprintf(full, WIDE_PATH_MAX, L"\\\\?\\UNC%ls", resolved + 1) >= 0;
    return std::swprintf(full, WIDE_PATH_MAX, L"\\\\?\\%ls", resolved) >= 0;
}

HANDLE open_for_query(const wchar_t* path)
{
    // Backup semantics open directories too.
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool identity_of(HANDLE file, BY_HANDLE_FILE_INFORMATION& info)
{
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

run_paths command_line_paths(int argc, char* argv[])
{
    static char program[3 * WIDE_PATH_MAX], input[3 * WIDE_PATH_MAX], output[3 * WIDE_PATH_MAX];
    static wchar_t program_path[WIDE_PATH_MAX], input_path[WIDE_PATH_MAX], output_path[WIDE_PATH_MAX];
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool kept = arguments && count == argc && count > 0 && keep_argument(arguments[0], program_path, program)
        && (count != 3
            || (keep_argument(arguments[1], input_path, input) && keep_argument(arguments[2], output_path, output)));
    if (arguments)
        LocalFree(arguments);
    if (!kept)  // no wide command line to go by: the narrow one, through the ANSI code page
        kept = argc == 3 && MultiByteToWideChar(CP_ACP, 0, argv[1], -1, input_path, WIDE_PATH_MAX) > 0
            && MultiByteToWideChar(CP_ACP, 0, argv[2], -1, output_path, WIDE_PATH_MAX) > 0
            && to_utf8(input_path, input, sizeof input) && to_utf8(output_path, output, sizeof output);
    const char* name = program[0] ? program : argc > 0 && argv[0] ? argv[0] : "larkbook";
    if (argc != 3)
        return {name, nullptr, nullptr, nullptr, nullptr};
    if (!kept)
        return {name, argv[1], argv[2], L"", L""};  // names nothing: refused as a missing file
    return {name, input, output, input_path, output_path};
}

bool print_message(std::FILE* stream, const char* format, ...)
{
    static char text[3 * WIDE_PATH_MAX + 512], bytes[3 * WIDE_PATH_MAX + 512];
    static wchar_t characters[WIDE_PATH_MAX + 512];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, characters, WIDE_PATH_MAX + 512);
    std::fflush(stream);
    // A process started without the stream (no console) has no handle behind it.
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (console == INVALID_HANDLE_VALUE || console == reinterpret_cast<HANDLE>(-2) || !console)
        return false;
    DWORD mode, written;
    if (length > 0 && GetConsoleMode(console, &mode)
        && WriteConsoleW(console, characters, static_cast<DWORD>(length - 1), &written, nullptr))
        return true;
    // Redirected: the bytes the narrow command line has, as a program reading the
    // file expects them.
    bool converted
        = length > 0 && WideCharToMultiByte(CP_ACP, 0, characters, -1, bytes, sizeof bytes, nullptr, nullptr) > 0;
    return std::fputs(converted ? bytes : text, stream) >= 0 && std::fflush(stream) == 0;
}

std::FILE* open_input(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return nullptr;
    }
    input_stream = *path ? _wfopen(path, L"r") : nullptr;
    if (!*path)
        errno = ENOENT;
    return input_stream;
}

const char* input_standard_stream()
{
    BY_HANDLE_FILE_INFORMATION input;
    return input_identity(input) ? standard_stream_holding(input) : nullptr;
}

// Only a disk file behind the stream counts: the console stays allowed.
const char* standard_stream_holding(const BY_HANDLE_FILE_INFORMATION& file)
{
    BY_HANDLE_FILE_INFORMATION stream;
    if (identity_of(GetStdHandle(STD_OUTPUT_HANDLE), stream) && same_identity(file, stream))
        return "standard output";
    if (identity_of(GetStdHandle(STD_ERROR_HANDLE), stream) && same_identity(file, stream))
        return "standard error";
    return nullptr;
}

bool input_identity(BY_HANDLE_FILE_INFORMATION& info)
{
    return input_stream && identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input_stream))), info);
}

void wait_for_input(std::FILE*) { }
