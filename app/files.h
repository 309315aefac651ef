// Opening, checking and replacing the run's two files. One interface; one
// implementation per platform: files_* (the command line, the console, the input),
// process_* (guarding the process) and output_* (the steps on the output, which
// output.cpp puts in their order).
#pragma once

#include <cstdio>

#include "phonebook/dump.h"

// The program's name and the two paths of the command line, in the form the
// functions below take. The paths are null unless there are exactly two arguments.
struct run_paths {
    const char* program;
    const char* input;
    const char* output;
};

// POSIX: the arguments as given. Windows: taken from the wide command line and
// kept as UTF-8, so that no character is lost to the ANSI code page.
run_paths command_line_paths(int argc, char* argv[]);

// Writes a message to stream, formatted as printf does, whose arguments come from
// run_paths. On a Windows console it shows the characters the user typed; where the
// stream is redirected, the bytes are as the system's code page has them.
void print_message(std::FILE* stream, const char* format, ...);

// What a step on a file ended in: 0, the system's error number (an errno value),
// or OUTPUT_IN_USE: another program holds a lock on OUT or a sharing violation
// keeps it out, or OUT's name came to hold another file during the run.
using file_error = int;
constexpr file_error OUTPUT_IN_USE = -1;

// Prints message, a colon, a blank and the system's reason for error (an errno
// value), as perror does. On
// Windows an error that the C library has no name for is given by its Windows
// error number.
void print_error(const char* message, file_error error);

// Where the console is the program's own, which closes when it ends (started from
// Explorer), makes the end wait for a key, or a minute, so that its texts can be
// read; anywhere else, and with any stream redirected, the end never waits.
void keep_own_console_open();

// Makes the signals that end a process remove a new output that has a name, keeps
// the run's files off closed standard streams, and makes a closed standard output a
// write error instead of a silent end. An error where a closed standard stream
// cannot be kept off: no file may be opened then.
file_error prepare_process();

// Opens the dump to read, in text mode. A directory is refused with EISDIR. A FIFO
// is opened without waiting for its writer; wait_for_input waits. nullptr and
// errno on failure.
std::FILE* open_input(const char* path);

// Waits for the writer of a FIFO input; returns at once for every other file.
void wait_for_input(std::FILE* input);

// Opens an existing OUT once, as the shell's ">> OUT" opens it, links and all,
// without changing it; a name that does not exist yet is only looked up. Whatever
// cannot be written (a directory, a missing parent, a path or name too long, a file
// the system guards, a standard stream that was closed at start) is refused here.
file_error find_output(const char* path);

// Whether the output found is the file the input was opened from, compared by
// identity.
bool output_is_input(std::FILE* input);

// "standard output" or "standard error" where the output found is the file or pipe
// behind that stream; nullptr otherwise. A terminal or other device is not
// counted: the dump may be shown on the console.
const char* output_standard_stream();

// Locks OUT, decides how the dump will reach it and reserves the room for it, so
// that a full disk or a lock held elsewhere is found before the input is read.
// OUT's bytes are not touched.
file_error open_output();

// Puts the dump in OUT's place, flushed to the disk. On failure OUT keeps what it
// held before, and any new file is gone.
file_error commit_output(const dump_text& dump);

// Drops the output of a failed or refused run: OUT keeps what it held before.
void discard_output();
