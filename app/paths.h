// What the run needs to know about its two paths before it opens them.
#pragma once

// The path names a directory (fopen alone would accept one on some systems).
bool names_directory(const char* path);

// Both paths name one regular file: the same spelling or another, a symbolic
// link or a hard link. Opening the output would then empty the input.
bool names_same_regular_file(const char* first, const char* second);
