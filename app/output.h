// The steps on the output that output.cpp puts in their order; one implementation
// per platform (output_posix.cpp, output_windows.cpp). Each acts on the output that
// find_output found and on the new file beside it, never on a path again.
#pragma once

#include <cstdint>

#include "app/files.h"

// From make_new_file, carry_over and put_in_place: no new file can take OUT's
// place, but OUT may be written in place, which keeps everything of it.
constexpr file_error WRITE_IN_PLACE = -2;

enum class output_target { output, new_file };

// Opens an OUT that was found, for writing, unless finding it opened it.
file_error open_found_output();

// Whether OUT existed when it was found, and whether it is a regular file, which is
// locked and replaced or written in place; anything else is written as it is.
bool output_exists();
bool output_is_regular();

// Locks OUT; OUTPUT_IN_USE where another program holds a lock on it.
file_error lock_output();

// Whether a new file may take OUT's place: one name, in a directory that lets it be
// replaced.
bool output_replaceable();

// Makes the new file beside OUT, on a volume with room for the longest dump.
file_error make_new_file();

// Reserves the room for the longest dump in OUT without changing its length.
file_error reserve_room();

// The longest file the process may write (ulimit -f).
std::uintmax_t output_size_limit();

// Gives the new file everything of OUT as it is now: WRITE_IN_PLACE where anything
// cannot be read or set exactly or OUT gained a second name, OUTPUT_IN_USE where
// OUT's name holds another file now.
file_error carry_over();

file_error write_dump(output_target target, const dump_text& dump);
file_error flush(output_target target);

// Cuts OUT, written in place, to the dump's length.
file_error cut_output(std::uintmax_t length);

// Puts the complete new file in OUT's place, only while OUT's name holds OUT (or,
// for a new OUT, no file at all).
file_error put_in_place();

// Removes the new file, if any, through what the run holds of it.
void drop_new_file();

// Holds back, and lets through again, whatever would end the process halfway
// through a step that must not be cut in two.
void hold_signals();
void release_signals();
