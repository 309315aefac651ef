// Between the POSIX file code and the process guard: file identity, the standard
// streams that were closed at start, and the one file name that a signal must not
// leave behind.
#pragma once

#include <sys/stat.h>

inline bool same_identity(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether file is what holds the place of a standard stream that was closed when
// the run started: a path such as /dev/stdin then names no file of the user's.
bool is_closed_standard_stream(const struct stat& file);

// Names the file, by its name in directory, to remove if a signal ends the
// process while that name still holds file, or none (nullptr); name and file are
// copied. A name is set only while signals are held back (hold_signals), so
// the handler never sees one that is only half true.
void remove_on_signal(int directory, const char* name, const struct stat* file);

// The file that open_input opened, as it was then.
const struct stat& input_identity();

// "standard output" or "standard error" where file is the file or pipe behind that
// stream; nullptr otherwise, and for a terminal or other device.
const char* standard_stream_holding(const struct stat& file);
