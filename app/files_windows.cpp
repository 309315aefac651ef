// Files on Windows. Paths go to the wide (UTF-16) calls only: the narrow ones
// pass through the ANSI code page, which cannot name every file and replaces some
// characters with look-alikes.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "app/files.h"

namespace {

constexpr int WIDE_PATH_MAX = 32768;  // the longest path the wide calls take

// The run's one output. The console control handler runs on a thread of its own
// and reads the temporary file's name; staged is set only while that file exists.
wchar_t final_path[WIDE_PATH_MAX];
wchar_t staged_path[WIDE_PATH_MAX];
volatile LONG staged = 0;
bool truncate_on_commit = false;  // a regular file written in place

int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
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
    default:
        return EIO;
    }
}

bool to_utf8(const wchar_t* wide, char* utf8, int size)
{
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, nullptr, nullptr) > 0;
}

// The UTF-8 path as the wide calls take it. One buffer per use, since the run holds
// at most two converted paths at a time.
const wchar_t* wide(const char* path, wchar_t (&buffer)[WIDE_PATH_MAX])
{
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, buffer, WIDE_PATH_MAX) > 0)
        return buffer;
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : ENOENT;
    return nullptr;
}

wchar_t input_buffer[WIDE_PATH_MAX], output_buffer[WIDE_PATH_MAX];

HANDLE open_for_query(const wchar_t* path)
{
    // Backup semantics open directories too; no access is asked, so no sharing fails.
    return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

BOOL WINAPI remove_staged(DWORD)
{
    if (InterlockedCompareExchange(&staged, 0, 1) == 1)
        DeleteFileW(staged_path);  // opened with FILE_SHARE_DELETE: gone when the process ends
    return FALSE;                  // and let the default handler end the process
}

// Where the name of a file starts in its path.
std::size_t name_start(const wchar_t* path)
{
    std::size_t start = 0;
    for (std::size_t i = 0; path[i]; ++i)
        if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
            start = i + 1;
    return start;
}

// A new file beside the output, named after it and after this program.
std::FILE* stage(const wchar_t* target)
{
    if (std::wcslen(target) >= WIDE_PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::wcscpy(final_path, target);
    std::size_t directory_length = name_start(final_path);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        int written = std::swprintf(staged_path, WIDE_PATH_MAX, L"%.*ls.%ls.larkbook-%lu-%u",
                                    static_cast<int>(directory_length), final_path, final_path + directory_length,
                                    GetCurrentProcessId(), attempt);
        if (written < 0) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        file = CreateFileW(staged_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            errno = errno_of(GetLastError());
            return nullptr;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        errno = EEXIST;
        return nullptr;
    }
    InterlockedExchange(&staged, 1);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_TEXT);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wt");
    if (!stream) {
        if (fd < 0)
            CloseHandle(file);
        else
            _close(fd);
        discard_output(nullptr);
        errno = ENOMEM;
    }
    return stream;
}

// Written where it stands. A regular file is cut to the new length only when the
// run succeeds, so a run that fails before writing leaves it as it was.
std::FILE* open_in_place(const wchar_t* path)
{
    int fd = _wopen(path, _O_WRONLY | _O_CREAT | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    truncate_on_commit = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK;
    std::FILE* stream = _fdopen(fd, "wt");
    if (!stream)
        _close(fd);
    return stream;
}

// Where an existing output is replaced: the file itself, through links, subst
// and mapped drives. The path as given where the system cannot tell.
const wchar_t* replacement_target(HANDLE file, const wchar_t* path)
{
    static wchar_t target[WIDE_PATH_MAX];
    DWORD length = GetFinalPathNameByHandleW(file, target, WIDE_PATH_MAX, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < WIDE_PATH_MAX ? target : path;
}

}  // namespace

run_paths command_line_paths(char* argv[])
{
    static char input[3 * WIDE_PATH_MAX], output[3 * WIDE_PATH_MAX];
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    bool converted = arguments && count == 3 && to_utf8(arguments[1], input, sizeof input)
        && to_utf8(arguments[2], output, sizeof output);
    if (arguments)
        LocalFree(arguments);
    return converted ? run_paths {input, output} : run_paths {argv[1], argv[2]};
}

void prepare_process() { SetConsoleCtrlHandler(remove_staged, TRUE); }

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

bool is_same_file(std::FILE* input, const char* output_path)
{
    const wchar_t* name = wide(output_path, output_buffer);
    if (!name)
        return false;
    BY_HANDLE_FILE_INFORMATION in, out;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input))), &in))
        return false;
    HANDLE output = open_for_query(name);
    if (output == INVALID_HANDLE_VALUE)
        return false;
    bool same = GetFileInformationByHandle(output, &out) && same_identity(in, out);
    CloseHandle(output);
    return same;
}

void wait_for_input(std::FILE*) { }

std::FILE* open_output(const char* path)
{
    InterlockedExchange(&staged, 0);
    truncate_on_commit = false;
    const wchar_t* name = wide(path, output_buffer);
    if (!name)
        return nullptr;
    HANDLE existing = open_for_query(name);
    if (existing == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return open_in_place(name);  // it reports why
        std::FILE* stream = stage(name);
        return stream ? stream : open_in_place(name);
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool is_file = GetFileType(existing) == FILE_TYPE_DISK && GetFileInformationByHandle(existing, &info);
    if (is_file && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(existing);
        errno = EISDIR;
        return nullptr;
    }
    // Devices (NUL, CON), files with other hard links, and read-only files (whose
    // refusal opening in place reports) are not replaced.
    bool replaceable = is_file && info.nNumberOfLinks == 1 && !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    std::FILE* stream = replaceable ? stage(replacement_target(existing, name)) : nullptr;
    CloseHandle(existing);
    return stream ? stream : open_in_place(name);
}

bool commit_output(std::FILE* output)
{
    bool written = std::fflush(output) == 0 && !std::ferror(output);
    int error = errno;
    if (written && truncate_on_commit && !SetEndOfFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output))))) {
        written = false;
        error = errno_of(GetLastError());
    }
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && staged) {
        written = MoveFileExW(staged_path, final_path, MOVEFILE_REPLACE_EXISTING);
        error = errno_of(GetLastError());
        if (written)
            InterlockedExchange(&staged, 0);
    }
    if (!written) {
        discard_output(nullptr);
        errno = error;
    }
    return written;
}

void discard_output(std::FILE* output)
{
    if (output)
        std::fclose(output);
    if (InterlockedCompareExchange(&staged, 0, 1) == 1)
        DeleteFileW(staged_path);
}
