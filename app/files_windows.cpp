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

wchar_t input_buffer[WIDE_PATH_MAX];

bool to_utf8(const wchar_t* wide, char* utf8, int size)
{
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) > 0;
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

const wchar_t* wide(const char* path, wchar_t (&buffer)[WIDE_PATH_MAX])
{
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, buffer, WIDE_PATH_MAX) > 0)
        return buffer;
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : ENOENT;
    return nullptr;
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
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool converted = arguments && count == argc && count > 0 && to_utf8(arguments[0], program, sizeof program)
        && (count != 3 || (to_utf8(arguments[1], input, sizeof input) && to_utf8(arguments[2], output, sizeof output)));
    if (arguments)
        LocalFree(arguments);
    if (!converted)
        return {argc > 0 && argv[0] ? argv[0] : "larkbook", argc == 3 ? argv[1] : nullptr,
                argc == 3 ? argv[2] : nullptr};
    return {program, argc == 3 ? input : nullptr, argc == 3 ? output : nullptr};
}

void print_message(std::FILE* stream, const char* format, ...)
{
    static char text[3 * WIDE_PATH_MAX + 512], bytes[3 * WIDE_PATH_MAX + 512];
    static wchar_t characters[WIDE_PATH_MAX + 512];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, characters, WIDE_PATH_MAX + 512);
    std::fflush(stream);
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode, written;
    if (length > 0 && GetConsoleMode(console, &mode)
        && WriteConsoleW(console, characters, static_cast<DWORD>(length - 1), &written, nullptr))
        return;
    // Redirected: the bytes the narrow command line has, as a program reading the
    // file expects them.
    bool converted
        = length > 0 && WideCharToMultiByte(CP_ACP, 0, characters, -1, bytes, sizeof bytes, nullptr, nullptr) > 0;
    std::fputs(converted ? bytes : text, stream);
}

std::FILE* open_input(const char* path)
{
    const wchar_t* name = wide(path, input_buffer);
    if (!name)
        return nullptr;
    DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return nullptr;
    }
    return _wfopen(name, L"r");
}

void wait_for_input(std::FILE*) { }
