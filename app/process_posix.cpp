// Guarding the process on POSIX systems: the standard streams and the signals
// that would end a run halfway.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/output.h"
#include "app/process_posix.h"

namespace {

// Every signal whose default action ends the process, but KILL and STOP, which
// cannot be caught, and PIPE and XFSZ, which are ignored; and every real-time signal.
constexpr int ENDING_SIGNALS[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS,
                                  SIGFPE,  SIGUSR1, SIGSEGV, SIGUSR2,   SIGALRM, SIGTERM, SIGSTKFLT,
                                  SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,  SIGSYS};

int named_directory = -1;
char named_file[NAME_MAX + 1];
struct stat named_identity;
volatile sig_atomic_t named = 0;
sigset_t previous_mask;
struct stat closed_stream_placeholder;
bool some_stream_closed = false;

void remove_named_and_die(int signal_number)
{
    struct stat entry;
    if (named && fstatat(named_directory, named_file, &entry, AT_SYMLINK_NOFOLLOW) == 0
        && same_identity(entry, named_identity))
        unlinkat(named_directory, named_file, 0);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// A closed standard stream is taken by the next file opened, which would then
// receive the console texts or be read as the dump. The read end of a pipe of our
// own holds the place: reads end at once, writes fail with EBADF, and a path that
// leads to it (/dev/stdin, /dev/fd/1) is told apart from every file of the user's.
// false where no pipe can be made: the run must then open no file.
bool occupy_closed_standard_streams()
{
    pollfd streams[3] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
    if (poll(streams, 3, 0) < 0)
        return false;
    bool closed[3];
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        closed[fd] = streams[fd].revents & POLLNVAL;
        some_stream_closed = some_stream_closed || closed[fd];
    }
    if (!some_stream_closed)
        return true;
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    // The pipe takes the lowest free descriptors, closed streams first; the read end
    // goes to every closed stream, also over the write end, which never stays there.
    // No descriptor beyond the pipe's is needed: the limit may allow no more.
    bool held = true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (closed[fd] && fd != ends[0])
            held = held && dup2(ends[0], fd) == fd;
    fstat(ends[0], &closed_stream_placeholder);
    for (int end : ends)
        if (end > STDERR_FILENO)
            close(end);
    return held;
}

void remove_named_on(int signal_number)
{
    struct sigaction action { }, previous { };
    action.sa_handler = remove_named_and_die;
    sigfillset(&action.sa_mask);
    if (sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN)
        sigaction(signal_number, &previous, nullptr);  // ignored by whoever started us (nohup): leave it so
}

// Only a run that made OUT needs them: set when its name is noted.
void handle_ending_signals()
{
    static bool handled = false;
    if (handled)
        return;
    handled = true;
    for (int signal_number : ENDING_SIGNALS)
        remove_named_on(signal_number);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
        remove_named_on(signal_number);
}

int holds = 0;  // hold_signals without its release_signals yet

}  // namespace

// A terminal outlives the program that it started, and is one's own.
void keep_own_console_open() { }

void explain_own_console() { }

file_error prepare_process()
{
    if (!occupy_closed_standard_streams())
        return errno;
    // A closed pipe and the file-size limit become write errors that the run reports.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    return 0;
}

// All of them: KILL and STOP are left through by the kernel. Only the outermost
// hold changes the mask.
void hold_signals()
{
    sigset_t set;
    sigfillset(&set);
    if (holds++ == 0)
        sigprocmask(SIG_BLOCK, &set, &previous_mask);
}

void release_signals()
{
    if (--holds == 0)
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
}

bool is_closed_standard_stream(const struct stat& file)
{
    return some_stream_closed && same_identity(file, closed_stream_placeholder);
}

void remove_on_signal(int directory, const char* name, const struct stat* file)
{
    named = 0;
    if (name && file && std::strlen(name) < sizeof named_file) {
        handle_ending_signals();
        named_directory = directory;
        std::strcpy(named_file, name);
        named_identity = *file;
        named = 1;
    }
}
