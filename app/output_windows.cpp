// The steps on the output on Windows.
//
// An existing OUT is opened once for writing, sharing everything, and stays open,
// locked, until the run ends. The new file beside it is shared with no program that
// could rename, replace or delete it; ReplaceFileW, which keeps OUT's ACL,
// attributes and streams, puts it in OUT's place, and a new OUT is the new file
// renamed through its handle. The new file is removed through its handle.

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cwchar>

#include "app/files_windows.h"
#include "app/output.h"

namespace {

constexpr std::size_t NAME_MAX = 255;     // characters in one name of a path
constexpr std::size_t LONGEST_KEPT = 64;  // of the output's name in the new file's name; at most
                                          // 192 bytes in UTF-8, as Wine names it on Linux

// What a replaced file keeps of its attributes.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

wchar_t output_name[WIDE_PATH_MAX];
wchar_t final_path[WIDE_PATH_MAX];   // the file the dump ends up in
wchar_t staged_path[WIDE_PATH_MAX];  // the new file
BY_HANDLE_FILE_INFORMATION existing, staged_identity;
bool found = false;                       // OUT exists
bool is_file = false;                     // OUT is a disk file; existing is known
bool deletable = false;                   // no other program keeps OUT from being replaced
HANDLE output = INVALID_HANDLE_VALUE;     // OUT, open for writing
HANDLE staged = INVALID_HANDLE_VALUE;     // the new file, while the run holds it
bool staged_exists = false;

// Where the name of a file starts in its path.
std::size_t name_start(const wchar_t* path)
{
    std::size_t start = 0;
    for (std::size_t i = 0; path[i]; ++i)
        if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
            start = i + 1;
    return start;
}

// Sharing and lock violations mean that another program uses the file.
file_error error_of(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? OUTPUT_IN_USE : errno_of(error);
}

file_error last_error() { return error_of(GetLastError()); }

// Makes sure that size bytes fit into the file before a byte is written: the room
// is reserved where the system can, else the volume's free space beyond what the
// file already holds is checked (Wine cannot reserve).
file_error reserve_room_in(HANDLE file, LONGLONG size)
{
    FILE_STANDARD_INFO held = {};
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &held, sizeof held))
        return last_error();
    FILE_ALLOCATION_INFO room = {};
    room.AllocationSize.QuadPart = held.EndOfFile.QuadPart > size ? held.EndOfFile.QuadPart : size;
    if (SetFileInformationByHandle(file, FileAllocationInfo, &room, sizeof room))
        return 0;
    DWORD error = GetLastError();
    if (error != ERROR_CALL_NOT_IMPLEMENTED && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_PARAMETER
        && error != ERROR_INVALID_FUNCTION)
        return error_of(error);
    wchar_t volume[WIDE_PATH_MAX];
    ULARGE_INTEGER free_bytes;
    if (!GetVolumePathNameW(final_path, volume, WIDE_PATH_MAX)
        || !GetDiskFreeSpaceExW(volume, &free_bytes, nullptr, nullptr))
        return last_error();
    LONGLONG needed = size - held.AllocationSize.QuadPart;
    return needed <= 0 || free_bytes.QuadPart >= static_cast<ULONGLONG>(needed) ? 0 : ENOSPC;
}

// Where an existing output is replaced: the file itself, through links, subst
// and mapped drives. The path as given where the system cannot tell.
const wchar_t* replacement_target(HANDLE file, const wchar_t* path)
{
    static wchar_t target[WIDE_PATH_MAX];
    DWORD length = GetFinalPathNameByHandleW(file, target, WIDE_PATH_MAX, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length > 0 && length < WIDE_PATH_MAX ? target : path;
}

// Renames the new file to a name that is still free, through its handle.
file_error rename_to_free_name()
{
    static char buffer[sizeof(FILE_RENAME_INFO) + sizeof final_path];
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    std::size_t length = std::wcslen(final_path);
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    std::wmemcpy(rename->FileName, final_path, length + 1);
    if (SetFileInformationByHandle(staged, FileRenameInfo, rename, static_cast<DWORD>(sizeof buffer)))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? OUTPUT_IN_USE : error_of(error);
}

}  // namespace

bool temporary_path(const wchar_t* path, unsigned attempt, wchar_t (&temporary)[WIDE_PATH_MAX])
{
    static wchar_t full[WIDE_PATH_MAX];
    if (!long_path(path, full))
        return false;
    std::size_t directory_length = name_start(full);
    const wchar_t* name = full + directory_length;
    std::size_t keep = std::wcslen(name);
    if (keep > LONGEST_KEPT)  // not within a surrogate pair
        keep = IS_LOW_SURROGATE(name[LONGEST_KEPT]) ? LONGEST_KEPT - 1 : LONGEST_KEPT;
    return std::swprintf(temporary, WIDE_PATH_MAX, L"%.*ls.%.*ls.larkbook-%lu-%u", static_cast<int>(directory_length),
                         full, static_cast<int>(keep), name, GetCurrentProcessId(), attempt)
        >= 0;
}

file_error find_output(const char* path)
{
    const wchar_t* name = *path ? wide(path, output_name) : nullptr;
    if (!name)
        return *path ? errno : ENOENT;
    if (std::wcslen(name + name_start(name)) > NAME_MAX)
        return ENAMETOOLONG;
    HANDLE query = open_for_query(name);
    if (query == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // A new OUT is named, as an existing one is, by its long path.
        if (error == ERROR_FILE_NOT_FOUND)
            return long_path(name, final_path) ? 0 : ENAMETOOLONG;
        return errno_of(error);  // a missing folder, a name Windows refuses, ...
    }
    is_file = identity_of(query, existing);
    // Read-only is the user's word that the file stays as it is: refused as Windows
    // refuses writing it, also where the open would succeed (Wine run by root).
    if (is_file && (existing.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        CloseHandle(query);
        return existing.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? EISDIR : EACCES;
    }
    const wchar_t* target = is_file ? replacement_target(query, name) : name;
    bool fits = std::wcslen(target) < WIDE_PATH_MAX;
    if (fits)
        std::wcscpy(final_path, target);
    CloseHandle(query);
    found = true;
    return fits ? 0 : ENAMETOOLONG;
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

// Opened only once it is known not to be the console's output, which cmd holds
// without sharing it.
file_error open_found_output()
{
    constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    output = CreateFileW(output_name, GENERIC_WRITE | DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    deletable = output != INVALID_HANDLE_VALUE;
    if (!deletable && GetLastError() == ERROR_SHARING_VIOLATION)
        output = CreateFileW(output_name, GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING, 0, nullptr);
    return output == INVALID_HANDLE_VALUE ? last_error() : 0;
}

bool output_exists() { return found; }

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

bool output_replaceable() { return existing.nNumberOfLinks == 1 && deletable; }

file_error make_new_file()
{
    for (unsigned attempt = 0; attempt < 100 && staged == INVALID_HANDLE_VALUE; ++attempt) {
        if (!temporary_path(final_path, attempt, staged_path))
            return ENAMETOOLONG;
        staged = CreateFileW(staged_path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (staged == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            file_error error = last_error();
            return output_exists() && error == EACCES ? WRITE_IN_PLACE : error;  // the folder takes no new file
        }
    }
    if (staged == INVALID_HANDLE_VALUE)
        return EEXIST;
    staged_exists = true;
    remove_on_exit(staged);
    file_error error = reserve_room_in(staged, LONGEST_DUMP);
    if (error)
        drop_new_file();
    return error;
}

file_error reserve_room() { return reserve_room_in(output, LONGEST_DUMP); }

std::uintmax_t output_size_limit() { return UINTMAX_MAX; }

// ReplaceFileW carries OUT's ACL and streams; the attributes are set here, as not
// every implementation carries them. Never read-only: the user just wrote it;
// always archive: it changed.
file_error carry_over()
{
    BY_HANDLE_FILE_INFORMATION now;
    FILE_BASIC_INFO basic = {};
    if (!output_exists())
        return 0;
    if (!GetFileInformationByHandle(output, &now) || now.nNumberOfLinks != 1)
        return WRITE_IN_PLACE;
    basic.FileAttributes = (now.dwFileAttributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE;
    return SetFileInformationByHandle(staged, FileBasicInfo, &basic, sizeof basic) ? 0 : WRITE_IN_PLACE;
}

file_error write_dump(output_target target, const dump_text& dump)
{
    HANDLE file = target == output_target::output ? output : staged;
    DWORD written = 0;
    if (!WriteFile(file, dump.bytes, static_cast<DWORD>(dump.length), &written, nullptr))
        return last_error();
    return written == dump.length ? 0 : ENOSPC;
}

file_error flush(output_target target)
{
    return FlushFileBuffers(target == output_target::output ? output : staged) ? 0 : last_error();
}

file_error cut_output(std::uintmax_t)
{
    return SetEndOfFile(output) ? 0 : last_error();  // the dump was written from the first byte
}

// ReplaceFileW opens the new file by its path, and only where no handle holds it:
// the new file is let go of for that one call. Where it fails, OUT is as it was and
// is written in place.
file_error put_in_place()
{
    if (!output_exists())
        return rename_to_free_name();
    if (!GetFileInformationByHandle(staged, &staged_identity))
        return last_error();
    remove_on_exit(nullptr);
    CloseHandle(staged);
    staged = INVALID_HANDLE_VALUE;
    if (!ReplaceFileW(final_path, staged_path, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
        return WRITE_IN_PLACE;
    staged_exists = false;
    return 0;
}

// A new file that the run no longer holds is removed only while its name still
// names it.
void drop_new_file()
{
    if (!staged_exists)
        return;
    remove_on_exit(nullptr);
    BY_HANDLE_FILE_INFORMATION named;
    if (staged == INVALID_HANDLE_VALUE) {
        staged = CreateFileW(staged_path, DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (!identity_of(staged, named) || !same_identity(named, staged_identity)) {
            CloseHandle(staged);
            staged = INVALID_HANDLE_VALUE;
        }
    }
    if (staged != INVALID_HANDLE_VALUE) {
        delete_through(staged);
        CloseHandle(staged);
    }
    staged = INVALID_HANDLE_VALUE;
    staged_exists = false;
}
