// Between the POSIX file code and the process guard: the one file name that a
// signal must not leave behind.
#pragma once

// Names the file to remove if a signal ends the process, or none (nullptr). The
// cleanup signals are held back while the name changes, so the handler never sees
// a name that is only half true; the name is copied.
void remove_on_signal(const char* path);

// Holds the cleanup signals back, and lets them through again, around a step that
// must not be cut in two (naming a file and noting its name).
void hold_signals();
void release_signals();
