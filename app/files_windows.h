// Between the Windows sources: paths in the form the wide calls take, errors in
// the form perror prints, file identity, and the one file that ending the process
// must not leave behind.
#pragma once

#include <windows.h>

constexpr int WIDE_PATH_MAX = 32768;  // the longest path the wide calls take

// The C library's errno for a system error; one it has no name for is kept as
// WINDOWS_ERRNO + the error's number, for print_error to show.
constexpr int WINDOWS_ERRNO = 0x10000;
int errno_of(DWORD error);

// The path as a full path with the \\?\ prefix, which the wide calls take past
// MAX_PATH characters; one that has the prefix already stays as it is. false where
// the system cannot make it full or it is too long.
bool long_path(const wchar_t* path, wchar_t (&full)[WIDE_PATH_MAX]);

// Opens a file or directory only to ask about it: no access asked, so no sharing fails.
HANDLE open_for_query(const wchar_t* path);

// The identity of a disk file; false for consoles, pipes and devices.
bool identity_of(HANDLE file, BY_HANDLE_FILE_INFORMATION& info);

// The identity of the file that open_input opened; false where it is none.
bool input_identity(BY_HANDLE_FILE_INFORMATION& info);

// "standard output" or "standard error" where file is the disk file behind that
// stream; nullptr otherwise.
const char* standard_stream_holding(const BY_HANDLE_FILE_INFORMATION& file);

// Volume and file index: the same for every name of one file.
bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

// Marks the file that handle holds for deletion, which happens when it is closed.
bool delete_through(HANDLE file);

// Names the file, by the handle that holds it, to remove if the console ends the
// process (Ctrl-C, Ctrl-Break, closing the window), or none (nullptr).
void remove_on_exit(HANDLE file);
