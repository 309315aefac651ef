// The steps on the output on Windows. OUT is opened once, for reading and writing,
// shared with readers and writers but not for deletion, so that no other program
// can rename or delete it while the run holds it; it stays open, locked, until the
// run ends. A new OUT is made by that very open (CREATE_NEW), so the run knows that
// it made it, and is removed, where it must be, through its handle.

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cwchar>

#include "app/files_windows.h"
#include "app/output.h"

namespace {

constexpr std::size_t NAME_MAX = 255;  // characters in one name of a path

const wchar_t* output_name = nullptr;  // as given on the command line
BY_HANDLE_FILE_INFORMATION held;       // the file the run holds, once found
bool found = false;                    // OUT existed when it was looked up
bool is_file = false;                  // OUT is a disk file; held is known
bool made = false;                     // the run made OUT, and it does not hold the dump yet
HANDLE output = INVALID_HANDLE_VALUE;  // OUT, open for writing
std::intmax_t named_length = 0;        // OUT's length when its name was last looked at

// Where the name of a file starts in its path.
std::size_t name_start(const wchar_t* path)
{
    std::size_t start = 0;
    for (std::size_t i = 0; path[i]; ++i)
        if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
            start = i + 1;
    return start;
}

// Sharing and lock violations, and a view another program has mapped, mean that
// another program uses the file.
file_error error_of(DWORD error)
{
    bool in_use = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE;
    return in_use ? OUTPUT_IN_USE : errno_of(error);
}

file_error last_error() { return error_of(GetLastError()); }

// A fresh file the run makes, with the right to delete it through its handle.
file_error make_output()
{
    constexpr DWORD ACCESS = GENERIC_READ | GENERIC_WRITE | DELETE;
    output = CreateFileW(output_name, ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? OUTPUT_IN_USE : last_error();
    made = true;
    remove_on_exit(output);
    is_file = identity_of(output, held);
    return 0;
}

}  // namespace

file_error find_output(const wchar_t* path)
{
    if (!*path)
        return ENOENT;
    if (std::wcslen(path) >= WIDE_PATH_MAX || std::wcslen(path + name_start(path)) > NAME_MAX)
        return ENAMETOOLONG;
    output_name = path;
    HANDLE query = open_for_query(path);
    if (query == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : errno_of(error);  // a missing folder, a name Windows refuses, ...
    }
    found = true;
    is_file = identity_of(query, held);
    CloseHandle(query);
    // Read-only is the user's word that the file stays as it is: refused as Windows
    // refuses writing it, also where the open would succeed (Wine run by root).
    if (is_file && (held.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return EISDIR;
    return is_file && (held.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? EACCES : 0;
}

bool output_is_input()
{
    BY_HANDLE_FILE_INFORMATION input;
    return found && is_file && input_identity(input) && same_identity(input, held);
}

const char* output_standard_stream() { return found && is_file ? standard_stream_holding(held) : nullptr; }

// Opened only once it is known not to be the console's output, which cmd holds
// without sharing it; the file opened must be the one that was looked up. Read
// access too, where it is given, so that the old bytes can be put back.
file_error open_found_output()
{
    if (!found)
        return make_output();
    constexpr DWORD SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
    DWORD access = is_file ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    output = CreateFileW(output_name, access, SHARING, nullptr, OPEN_EXISTING, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE && is_file && GetLastError() == ERROR_ACCESS_DENIED)
        output = CreateFileW(output_name, GENERIC_WRITE, SHARING, nullptr, OPEN_EXISTING, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return last_error();
    BY_HANDLE_FILE_INFORMATION opened;
    return !is_file || (identity_of(output, opened) && same_identity(opened, held)) ? 0 : OUTPUT_IN_USE;
}

bool output_is_regular() { return is_file; }

// Ours keeps other programs' locks and other runs out until the run ends. It is
// not waited for.
file_error lock_output()
{
    OVERLAPPED whole = {};
    return LockFileEx(output, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)
        ? 0
        : OUTPUT_IN_USE;
}

// Reserved where the system can, else the volume's free space beyond what the file
// already holds is checked (Wine cannot reserve).
file_error reserve_room()
{
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(output, FileStandardInfo, &standard, sizeof standard))
        return last_error();
    FILE_ALLOCATION_INFO room = {};
    room.AllocationSize.QuadPart = standard.EndOfFile.QuadPart > LONGEST_DUMP ? standard.EndOfFile.QuadPart : LONGEST_DUMP;
    if (SetFileInformationByHandle(output, FileAllocationInfo, &room, sizeof room))
        return 0;
    DWORD error = GetLastError();
    if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER
        && error != ERROR_INVALID_FUNCTION)
        return error_of(error);
    static wchar_t full[WIDE_PATH_MAX], volume[WIDE_PATH_MAX];
    ULARGE_INTEGER free_bytes;
    if (!long_path(output_name, full) || !GetVolumePathNameW(full, volume, WIDE_PATH_MAX)
        || !GetDiskFreeSpaceExW(volume, &free_bytes, nullptr, nullptr))
        return last_error();
    LONGLONG needed = LONGEST_DUMP - standard.AllocationSize.QuadPart;
    return needed <= 0 || free_bytes.QuadPart >= static_cast<ULONGLONG>(needed) ? 0 : ENOSPC;
}

std::uintmax_t output_size_limit() { return UINTMAX_MAX; }

bool output_still_named()
{
    HANDLE query = open_for_query(output_name);
    BY_HANDLE_FILE_INFORMATION now = {};
    bool same = identity_of(query, now) && same_identity(now, held);
    CloseHandle(query);
    named_length = static_cast<std::intmax_t>(now.nFileSizeHigh) << 32 | now.nFileSizeLow;
    return same;
}

std::intmax_t output_length() { return named_length; }

// A file the run may only write gives back nothing to put back.
file_error read_output_start(char* bytes, std::size_t size, std::size_t& got)
{
    got = 0;
    for (DWORD read = 1; got < size && read > 0; got += read) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(got);
        if (!ReadFile(output, bytes + got, static_cast<DWORD>(size - got), &read, &at))
            return GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_ACCESS_DENIED ? 0 : last_error();
    }
    return 0;
}

// A disk file from its first byte; a device or pipe as it comes.
file_error write_output(const char* bytes, std::size_t length)
{
    OVERLAPPED start = {};
    DWORD written = 0;
    if (!WriteFile(output, bytes, static_cast<DWORD>(length), &written, is_file ? &start : nullptr))
        return last_error();
    return written == length ? 0 : ENOSPC;
}

file_error cut_output(std::uintmax_t length)
{
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(output, FileEndOfFileInfo, &end, sizeof end) ? 0 : last_error();
}

// A folder's entries are flushed with the file system's own log; Windows offers
// nothing for them.
file_error flush_output() { return FlushFileBuffers(output) ? 0 : last_error(); }

void drop_made_output()
{
    if (made && delete_through(output)) {
        CloseHandle(output);  // the file goes with the last handle
        output = INVALID_HANDLE_VALUE;
    }
    keep_made_output();
}

void keep_made_output()
{
    made = false;
    remove_on_exit(nullptr);
}
