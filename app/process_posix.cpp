// Guarding the process on POSIX systems: the standard streams and the signals
// that would end a run halfway.

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/files.h"
#include "app/process_posix.h"

namespace {

// The signals whose default action ends the process, as coreutils handles them.
constexpr int CLEANUP_SIGNALS[]
    = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

char named_path[PATH_MAX];
volatile sig_atomic_t named = 0;
sigset_t previous_mask;

void remove_named_and_die(int signal_number)
{
    if (named)
        unlink(named_path);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void block_cleanup_signals(sigset_t* previous)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : CLEANUP_SIGNALS)
        sigaddset(&set, signal_number);
    sigprocmask(SIG_BLOCK, &set, previous);
}

// A closed standard stream is taken by the next file opened, which would then
// receive the console texts or be read as the dump. /dev/null, opened for reading
// only, holds the place: reads end at once and writes fail with EBADF.
void occupy_closed_standard_streams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDONLY);  // the lowest free descriptor: this one
}

}  // namespace

void prepare_process()
{
    occupy_closed_standard_streams();
    ::signal(SIGPIPE, SIG_IGN);  // a closed pipe becomes a write error we report
    for (int signal_number : CLEANUP_SIGNALS) {
        struct sigaction action { };
        sigaction(signal_number, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue;  // ignored by whoever started us (nohup): leave it so
        action.sa_handler = remove_named_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal_number, &action, nullptr);
    }
}

void hold_signals() { block_cleanup_signals(&previous_mask); }

void release_signals() { sigprocmask(SIG_SETMASK, &previous_mask, nullptr); }

void remove_on_signal(const char* path)
{
    sigset_t mask;
    block_cleanup_signals(&mask);
    named = 0;
    if (path && std::strlen(path) < sizeof named_path) {
        std::strcpy(named_path, path);
        named = 1;
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}
