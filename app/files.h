// Opening, checking and replacing the run's two files. One interface; one
// implementation per platform: files_* (the command line, the console, the input),
// process_* (guarding the process) and output_* (the steps on the output, which
// output.cpp puts in their order).
#pragma once

#include <cstdio>

#include "phonebook/dump.h"

// A path as the system's calls take it: on Windows the wide calls, which alone can
// name every file.
#ifdef _WIN32
using path_char = wchar_t;
#else
using path_char = char;
#endif

// The program's name and the two paths of the command line: as messages show them
// (UTF-8 on Windows) and as the system's calls take them. The paths are null unless
// there are exactly two arguments.
struct run_paths {
    const char* program;
    const char* input;
    const char* output;
    const path_char* input_path;
    const path_char* output_path;
};

// POSIX: the arguments as given. Windows: taken from the wide command line, so that
// no character is lost to the ANSI code page or to a conversion.
run_paths command_line_paths(int argc, char* argv[]);

// Writes a message to stream, formatted as printf does, whose arguments come from
// run_paths. On a Windows console it shows the characters the user typed; where the
// stream is redirected, the bytes are as the system's code page has them. false
// where it could not be shown (no such stream, a write error).
bool print_message(std::FILE* stream, const char* format, ...);

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

// Where the console is the program's own (started from Explorer, or with a dump
// dropped on it), says after the banner how larkbook is run instead; anywhere else
// says nothing.
void explain_own_console();

// Makes the signals that end a process remove a new OUT that the run made, keeps
// the run's files off closed standard streams, and makes a closed standard output
// or the file-size limit a write error instead of a silent end. An error where a closed standard stream
// cannot be kept off: no file may be opened then.
file_error prepare_process();

// Opens the dump to read, in text mode. A directory is refused with EISDIR. A FIFO
// is opened without waiting for its writer; wait_for_input waits. nullptr and
// errno on failure.
std::FILE* open_input(const path_char* path);

// Waits for the writer of a FIFO input; returns at once for every other file.
void wait_for_input(std::FILE* input);

// Finds OUT: on POSIX opens it once, as the shell's ">> OUT" opens it, links and
// all, made if absent but never emptied; on Windows only looks it up. Whatever
// cannot be written (a directory, a missing parent, a path or name too long, a file
// the system guards, a standard stream that was closed at start) is refused here.
file_error find_output(const path_char* path);

// Whether the output found is the file that open_input opened, compared by
// identity.
bool output_is_input();

// "standard output" or "standard error" where the input opened is the file or pipe
// behind that stream, which the shell has emptied for "> IN"; nullptr otherwise. A
// terminal or other device is not counted.
const char* input_standard_stream();

// "standard output" or "standard error" where the output found is the file or pipe
// behind that stream; nullptr otherwise. A terminal or other device is not
// counted: the dump may be shown on the console.
const char* output_standard_stream();

// Opens and locks OUT and reserves the room for the dump in it, so that a full
// disk or a lock held elsewhere is found before the input is read. OUT's bytes are
// not touched.
file_error open_output();

// Writes the dump over OUT, cut to its length and flushed to the disk, while OUT's
// path still leads to it. On failure OUT holds what it held before.
file_error commit_output(const dump_text& dump);

// Ends a failed or refused run: a new OUT the run made is removed.
void discard_output();
