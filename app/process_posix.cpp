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
void occupy_closed_standard_streams()
{
    bool closed[3];
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        closed[fd] = fcntl(fd, F_GETFD) < 0 && errno == EBADF;
        some_stream_closed = some_stream_closed || closed[fd];
    }
    int ends[2];
    if (!some_stream_closed || pipe(ends) != 0)
        return;
    // The pipe itself may have taken closed descriptors: keep its read end above them.
    int reader = fcntl(ends[0], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(ends[0]);
    close(ends[1]);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (closed[fd])
            dup2(reader, fd);
    fstat(reader, &closed_stream_placeholder);
    close(reader);
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

void hold_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : CLEANUP_SIGNALS)
        sigaddset(&set, signal_number);
    sigprocmask(SIG_BLOCK, &set, &previous_mask);
}

void release_signals() { sigprocmask(SIG_SETMASK, &previous_mask, nullptr); }

bool is_closed_standard_stream(const struct stat& file)
{
    return some_stream_closed && same_identity(file, closed_stream_placeholder);
}

void remove_on_signal(int directory, const char* name, const struct stat* file)
{
    named = 0;
    if (name && file && std::strlen(name) < sizeof named_file) {
        named_directory = directory;
        std::strcpy(named_file, name);
        named_identity = *file;
        named = 1;
    }
}
