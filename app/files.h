// Opening, checking and replacing the run's two files. One interface; one
// implementation per platform: files_* (opening the input, the console), output_*
// (finding and placing the output) and process_* (guarding the process).
//
// The output is written where the shell's redirection would write it, and only
// there. It goes to a new file beside OUT, which takes its place only once every
// write has succeeded, so a failed or interrupted run leaves the old output as it
// was. Every existing file is locked first. Only files that cannot be replaced
// (devices, FIFOs, files with more than one hard link, files the system will not
// let a new file replace or whose owner would be lost) are written in place, with
// the room for the dump reserved first. A run removes only the files it made.
#pragma once

#include <cstdio>

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

// Prints message, a colon, a blank and the system's reason for errno, as perror
// does. On Windows an error that the C library has no name for is given by its
// Windows error number.
void print_error(const char* message);

// Makes Ctrl-C and requests to terminate remove the temporary output first, keeps
// the run's files off closed standard streams, and makes a closed standard output
// a write error instead of a silent end. false and errno where a closed standard
// stream cannot be kept off: no file may be opened then.
bool prepare_process();

// Opens the dump to read, in text mode. A directory is refused with EISDIR. A FIFO
// is opened without waiting for its writer; wait_for_input waits. nullptr and
// errno on failure.
std::FILE* open_input(const char* path);

// Waits for the writer of a FIFO input; returns at once for every other file.
void wait_for_input(std::FILE* input);

// Opens an existing OUT once, as the shell's ">> OUT" opens it, links and all,
// without changing it, and keeps it for the steps below; a name that does not
// exist yet is only looked up. Whatever cannot be written (a directory, a missing
// parent, a name too long, a file the system guards, a standard stream that was
// closed at start) is refused here: false and errno.
bool find_output(const char* path);

// Whether the output found is the file the input was opened from, compared by
// identity.
bool output_is_input(std::FILE* input);

// "standard output" or "standard error" where the output found is the file or pipe
// behind that stream; nullptr otherwise. A terminal or other device is not
// counted: the dump may be shown on the console.
const char* output_standard_stream();

// Opens the stream the dump is written to; the output itself is not touched yet.
// A full disk, or a lock that another program holds (EBUSY), is found here, before
// the input is read: nullptr and errno.
std::FILE* open_output();

// Flushes and closes the output and puts it in place. On failure the output is
// discarded as below and errno tells why.
bool commit_output(std::FILE* output);

// Closes the output of a failed or refused run and removes the temporary file;
// the output keeps what it held before. output may be nullptr.
void discard_output(std::FILE* output);
