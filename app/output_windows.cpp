// Placing the output on Windows.
//
// A regular file is replaced: the dump goes to a new file beside it, which
// ReplaceFileW puts in its place, keeping the old file's ACL, attributes and
// streams, once every write has succeeded. The new file is removed on failure and
// when the console ends the process. Devices, files with more than one hard link
// and files another program holds open without letting them be replaced are
// written in place, with the room for the dump reserved before a byte of them
// changes. Every existing file is locked, and a file another program uses or
// holds locked is found, when OUT is opened.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "app/files.h"
#include "app/files_windows.h"
#include "phonebook/phonebook.h"

namespace {

// The longest dump: 100 lines of a three-digit slot, number, name, two spaces and
// a CR LF.
constexpr LONGLONG LONGEST_DUMP = SLOT_COUNT * (3 + 1 + NUMBER_LEN + 1 + NAME_LEN + 2);
constexpr std::size_t NAME_MAX = 255;     // characters in one name of a path
constexpr std::size_t LONGEST_KEPT = 64;  // of the output's name in the new file's name; at most
                                          // 192 bytes in UTF-8, as Wine names it on Linux
// What a replaced file keeps of its attributes. Never read-only: the user just
// wrote it; always archive: it changed.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Holds the whole dump, so that it reaches the file in one write at the end.
char output_buffer[8192];

// The run's one output.
wchar_t output_name[WIDE_PATH_MAX];
wchar_t final_path[WIDE_PATH_MAX];   // the file the dump ends up in
wchar_t staged_path[WIDE_PATH_MAX];  // the new file, while it exists
bool staged = false;
bool replacing = false;  // final_path exists; existing holds its identity and attributes
BY_HANDLE_FILE_INFORMATION existing;
bool found = false;     // OUT exists
bool is_file = false;   // OUT is a disk file; existing is known
bool in_place = false;  // a regular file written in place: cut to length at commit

// Where the name of a file starts in its path.
std::size_t name_start(const wchar_t* path)
{
    std::size_t start = 0;
    for (std::size_t i = 0; path[i]; ++i)
        if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
            start = i + 1;
    return start;
}

std::FILE* stream_on(HANDLE file)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_TEXT);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wt");
    if (!stream) {
        if (fd < 0)
            CloseHandle(file);
        else
            _close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    std::setvbuf(stream, output_buffer, _IOFBF, sizeof output_buffer);
    return stream;
}

// Makes sure that size bytes fit into the file before a byte is written: the room
// is reserved where the system can, else the volume's free space beyond what the
// file already holds is checked (Wine cannot reserve).
bool reserve_room(HANDLE file, LONGLONG size)
{
    FILE_STANDARD_INFO held = {};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &held, sizeof held))
        return false;
    FILE_ALLOCATION_INFO room = {};
    room.AllocationSize.QuadPart = held.EndOfFile.QuadPart > size ? held.EndOfFile.QuadPart : size;
    if (SetFileInformationByHandle(file, FileAllocationInfo, &room, sizeof room))
        return true;
    DWORD error = GetLastError();
    if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER
        && error != ERROR_INVALID_FUNCTION)
        return false;
    wchar_t volume[WIDE_PATH_MAX];
    ULARGE_INTEGER free_bytes;
    if (!GetVolumePathNameW(final_path, volume, WIDE_PATH_MAX)
        || !GetDiskFreeSpaceExW(volume, &free_bytes, nullptr, nullptr))
        return false;
    LONGLONG needed = size - held.AllocationSize.QuadPart;
    if (needed <= 0 || free_bytes.QuadPart >= static_cast<ULONGLONG>(needed))
        return true;
    SetLastError(ERROR_DISK_FULL);
    return false;
}

// Whether another program holds a lock on the file; ours keeps other runs out of
// it until the run ends. It is not waited for.
bool locked_elsewhere(HANDLE file)
{
    OVERLAPPED whole = {};
    return !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole);
}

// A new file beside the output, with the room for the dump reserved.
std::FILE* open_replacement()
{
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        if (!temporary_path(final_path, attempt, staged_path)) {
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
    staged = true;
    remove_on_exit(staged_path);
    if (!reserve_room(file, LONGEST_DUMP)) {
        errno = errno_of(GetLastError());
        CloseHandle(file);
        discard_output(nullptr);
        return nullptr;
    }
    std::FILE* stream = stream_on(file);
    if (!stream) {
        discard_output(nullptr);
        errno = ENOMEM;
    }
    return stream;
}

// Reserves the room for the longest dump in a regular file without changing its
// length, so that a full disk fails here, before a byte of the file changes.
std::FILE* open_in_place(HANDLE file, bool regular)
{
    if (regular && !reserve_room(file, LONGEST_DUMP)) {
        errno = errno_of(GetLastError());
        CloseHandle(file);
        return nullptr;
    }
    in_place = regular;
    return stream_on(file);
}

// Where an existing output is replaced: the file itself, through links, subst
// and mapped drives. The path as given where the system cannot tell.
const wchar_t* replacement_target(HANDLE file, const wchar_t* path)
{
    static wchar_t target[WIDE_PATH_MAX];
    DWORD length = GetFinalPathNameByHandleW(file, target, WIDE_PATH_MAX, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < WIDE_PATH_MAX ? target : path;
}

// ReplaceFileW keeps what was set on the old file; MoveFileExW where it cannot be
// used. The attributes are set again, as not every implementation keeps them.
bool put_in_place()
{
    bool placed = replacing
        && ReplaceFileW(final_path, staged_path, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    if (!placed && !MoveFileExW(staged_path, final_path, MOVEFILE_REPLACE_EXISTING)) {
        errno = errno_of(GetLastError());
        return false;
    }
    staged = false;
    remove_on_exit(nullptr);
    if (replacing)
        SetFileAttributesW(final_path, (existing.dwFileAttributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE);
    return true;
}

}  // namespace

bool temporary_path(const wchar_t* output, unsigned attempt, wchar_t (&path)[WIDE_PATH_MAX])
{
    static wchar_t full[WIDE_PATH_MAX];
    if (!long_path(output, full))
        return false;
    std::size_t directory_length = name_start(full);
    const wchar_t* name = full + directory_length;
    std::size_t keep = std::wcslen(name);
    if (keep > LONGEST_KEPT)  // not within a surrogate pair
        keep = IS_LOW_SURROGATE(name[LONGEST_KEPT]) ? LONGEST_KEPT - 1 : LONGEST_KEPT;
    return std::swprintf(path, WIDE_PATH_MAX, L"%.*ls.%.*ls.larkbook-%lu-%u", static_cast<int>(directory_length), full,
                         static_cast<int>(keep), name, GetCurrentProcessId(), attempt)
        >= 0;
}

bool find_output(const char* path)
{
    staged = replacing = in_place = found = is_file = false;
    const wchar_t* name = *path ? wide(path, output_name) : (errno = ENOENT, nullptr);
    if (!name)
        return false;
    if (std::wcslen(name + name_start(name)) > NAME_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::wcscpy(final_path, name);
    HANDLE query = open_for_query(name);
    found = query != INVALID_HANDLE_VALUE;
    if (!found) {
        DWORD error = GetLastError();
        errno = errno_of(error);  // a missing folder, a name Windows refuses, ...
        // A new OUT is named, as an existing one is, by its long path.
        return error == ERROR_FILE_NOT_FOUND && (long_path(name, final_path) || (errno = ENAMETOOLONG, false));
    }
    is_file = identity_of(query, existing);
    // Read-only is the user's word that the file stays as it is: refused as Windows
    // refuses writing it, also where the open below would succeed (Wine run by root).
    if (is_file && (existing.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        CloseHandle(query);
        errno = existing.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? EISDIR : EACCES;
        return false;
    }
    const wchar_t* target = is_file ? replacement_target(query, name) : name;
    CloseHandle(query);
    if (std::wcslen(target) >= WIDE_PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::wcscpy(final_path, target);
    return true;
}

bool output_is_input(std::FILE* input)
{
    BY_HANDLE_FILE_INFORMATION in;
    return is_file && GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(input))), &in)
        && same_identity(in, existing);
}

const char* output_standard_stream()
{
    // Only a disk file behind the stream counts: the console stays allowed.
    BY_HANDLE_FILE_INFORMATION stream;
    if (!is_file)
        return nullptr;
    if (identity_of(GetStdHandle(STD_OUTPUT_HANDLE), stream) && same_identity(existing, stream))
        return "standard output";
    if (identity_of(GetStdHandle(STD_ERROR_HANDLE), stream) && same_identity(existing, stream))
        return "standard error";
    return nullptr;
}

std::FILE* open_output()
{
    if (!found)
        return open_replacement();
    // Whether the user may write it, and whether it may be replaced, asked without
    // changing it: a program that holds it open without sharing its deletion keeps
    // it from being replaced, one that does not share writing keeps it from both.
    constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE writable = CreateFileW(output_name, GENERIC_WRITE | DELETE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    bool replaceable = writable != INVALID_HANDLE_VALUE;  // no other program keeps it from being deleted
    if (!replaceable && GetLastError() == ERROR_SHARING_VIOLATION)
        writable = CreateFileW(output_name, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    if (writable == INVALID_HANDLE_VALUE || (is_file && locked_elsewhere(writable))) {
        DWORD error = GetLastError();
        if (writable != INVALID_HANDLE_VALUE)
            CloseHandle(writable);
        errno = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? EBUSY : errno_of(error);
        return nullptr;
    }
    if (!is_file || existing.nNumberOfLinks > 1 || !replaceable)
        return open_in_place(writable, is_file);
    replacing = true;
    std::FILE* stream = open_replacement();
    if (!stream && errno == EACCES)
        return open_in_place(writable, true);  // the folder takes no new file, but the file may be written
    CloseHandle(writable);
    return stream;
}

bool commit_output(std::FILE* output)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output)));
    bool written = std::fflush(output) == 0 && !std::ferror(output);
    int error = errno;
    if (written && in_place && !SetEndOfFile(file)) {
        written = false;
        error = errno_of(GetLastError());
    }
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && staged) {
        written = put_in_place();
        error = errno;
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
    if (staged) {
        DeleteFileW(staged_path);
        staged = false;
        remove_on_exit(nullptr);
    }
}
