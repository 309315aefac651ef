// The steps on the output that output.cpp puts in their order; one implementation
// per platform (output_posix.cpp, output_windows.cpp). Each acts on the OUT that
// the run opened and holds, never through its path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/files.h"

// Opens the OUT that find_output found, unless finding it opened it.
file_error open_found_output();

// Whether OUT is a regular file: locked, written in place and cut; anything else
// (a device, a FIFO, a console) is written as it is.
bool output_is_regular();

// Locks OUT for the whole run; OUTPUT_IN_USE where another program holds a lock.
file_error lock_output();

// Reserves the room for the longest dump in OUT without changing its length.
file_error reserve_room();

// The longest file the process may write (ulimit -f).
std::uintmax_t output_size_limit();

// Whether OUT's path still leads to the file the run holds; only looked at.
bool output_still_named();

// OUT's length when output_still_named last found it, and up to size of its first
// bytes into bytes.
std::intmax_t output_length();
file_error read_output_start(char* bytes, std::size_t size, std::size_t& got);

// Writes bytes over OUT from its first byte (a regular file), or as they come.
file_error write_output(const char* bytes, std::size_t length);
file_error cut_output(std::uintmax_t length);

// Flushes OUT to the disk, and the directory that holds a new OUT.
file_error flush_output();

// A new OUT the run made: removed through what the run holds of it, or kept once
// the dump is in place.
void drop_made_output();
void keep_made_output();

// Holds back, and lets through again, whatever would end the process halfway
// through a step that must not be cut in two.
void hold_signals();
void release_signals();
