// The one output of a run on Linux, shared by finding it (output_find_posix.cpp)
// and placing it (output_posix.cpp).
#pragma once

#include <limits.h>
#include <sys/stat.h>

enum class placement {
    as_is,     // a device, FIFO or terminal: written through
    in_place,  // a regular file written in place: locked, room reserved, cut at commit
    unnamed,   // a new file without a name yet
    named,     // a new file under a temporary name
};

struct output_file {
    int existing;                  // OUT as the shell's ">>" opened it; -1 for a new OUT
    struct stat checked;           // what existing was when it was opened
    int directory;                 // the directory that holds OUT, or that a new OUT goes to; -1 for none
    char name[NAME_MAX + 1];       // OUT's name in directory
    char temporary[NAME_MAX + 1];  // the new file's name in directory, while it has one
    struct stat made;              // the new file, once it has a name
    placement how;
};

// The run's one output.
extern output_file the_output;

// The path under /proc that names what the descriptor fd is open on.
struct descriptor_path {
    char text[32];
};
descriptor_path path_of_descriptor(int fd);

// Whether name in directory is file itself, not a link to it or another file.
bool holds(int directory, const char* name, const struct stat& file);
