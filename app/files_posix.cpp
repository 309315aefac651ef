// Files on POSIX systems.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "app/files.h"

namespace {

// The run's one output. The temporary file's name is kept where the signal
// handler can read it; staged is set only while that file exists.
char final_path[PATH_MAX];
char staged_path[PATH_MAX];
volatile sig_atomic_t staged = 0;
bool truncate_on_commit = false;  // a regular file written in place

constexpr int CLEANUP_SIGNALS[] = {SIGHUP, SIGINT, SIGTERM};

void remove_staged_and_die(int signal_number)
{
    if (staged)
        unlink(staged_path);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// Keeps the cleanup signals away while the temporary file comes and goes, so the
// handler never sees a name that is only half true.
struct blocked_signals {
    sigset_t previous;
};

blocked_signals block_cleanup_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : CLEANUP_SIGNALS)
        sigaddset(&set, signal_number);
    blocked_signals blocked;
    sigprocmask(SIG_BLOCK, &set, &blocked.previous);
    return blocked;
}

void unblock(const blocked_signals& blocked) { sigprocmask(SIG_SETMASK, &blocked.previous, nullptr); }

bool copy_path(char (&to)[PATH_MAX], const char* from, std::size_t length)
{
    if (length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(to, from, length);
    to[length] = '\0';
    return true;
}

// Where the name of a file starts in its path.
std::size_t name_start(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? static_cast<std::size_t>(slash - path) + 1 : 0;
}

// The path that replacing path must rename onto: symbolic links followed, so a
// link stays a link and the file it points to is replaced, even where that file
// does not exist yet.
bool resolve_links(const char* path, char (&resolved)[PATH_MAX])
{
    if (!copy_path(resolved, path, std::strlen(path)))
        return false;
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        ssize_t length = readlink(resolved, target, sizeof target);
        if (length < 0)
            return true;  // not a link (or nothing there): this is the file
        if (length >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::size_t keep = target[0] == '/' ? 0 : name_start(resolved);  // relative to the link's directory
        if (keep + length >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(resolved + keep, target, length);
        resolved[keep + length] = '\0';
    }
    errno = ELOOP;
    return false;
}

bool is_standard_stream(const struct stat& file)
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && stream.st_dev == file.st_dev && stream.st_ino == file.st_ino)
            return true;
    }
    return false;
}

mode_t creation_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A new file beside the output, named after it and after this program, with the
// permissions the output has or, for a new output, would get.
std::FILE* stage(const char* path, const struct stat* existing)
{
    if (!resolve_links(path, final_path))
        return nullptr;
    std::size_t directory_length = name_start(final_path);
    const char* name = final_path + directory_length;
    int written = std::snprintf(staged_path, PATH_MAX, "%.*s.%s.larkbook-XXXXXX", static_cast<int>(directory_length),
                                final_path, name);
    if (written < 0 || written >= PATH_MAX || std::strlen(name) > NAME_MAX - 20) {
        errno = ENAMETOOLONG;
        return nullptr;
    }

    blocked_signals blocked = block_cleanup_signals();
    int fd = mkstemp(staged_path);
    staged = fd >= 0;
    unblock(blocked);
    if (fd < 0)
        return nullptr;

    // Owner and group as they were, as far as this user may set them.
    if (existing && fchown(fd, existing->st_uid, existing->st_gid) != 0 && fchown(fd, -1, existing->st_gid) != 0) { }
    fchmod(fd, existing ? existing->st_mode & 07777 : creation_mode());
    std::FILE* stream = fdopen(fd, "w");
    if (!stream) {
        int error = errno;
        close(fd);
        discard_output(nullptr);
        errno = error;
    }
    return stream;
}

// Written where it stands. A regular file is cut to the new length only when the
// run succeeds, so a run that fails before writing leaves it as it was.
std::FILE* open_in_place(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat file;
    truncate_on_commit = fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
    std::FILE* stream = fdopen(fd, "w");
    if (!stream)
        close(fd);
    return stream;
}

}  // namespace

run_paths command_line_paths(char* argv[]) { return {argv[1], argv[2]}; }

void prepare_process()
{
    ::signal(SIGPIPE, SIG_IGN);
    for (int signal_number : CLEANUP_SIGNALS) {
        struct sigaction action { };
        sigaction(signal_number, nullptr, &action);
        if (action.sa_handler == SIG_IGN)
            continue;  // ignored by whoever started us (nohup): leave it so
        action.sa_handler = remove_staged_and_die;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal_number, &action, nullptr);
    }
}

std::FILE* open_input(const char* path)
{
    // Without O_NONBLOCK a FIFO would block here, before the same-file check.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat file;
    bool is_file = fstat(fd, &file) == 0;
    if (!is_file || S_ISDIR(file.st_mode)) {
        int error = is_file ? EISDIR : errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* stream = fdopen(fd, "r");
    if (!stream)
        close(fd);
    return stream;
}

bool is_same_file(std::FILE* input, const char* output_path)
{
    struct stat in, out;
    return fstat(fileno(input), &in) == 0 && stat(output_path, &out) == 0 && in.st_dev == out.st_dev
        && in.st_ino == out.st_ino;
}

void wait_for_input(std::FILE* input)
{
    struct stat file;
    if (fstat(fileno(input), &file) != 0 || !S_ISFIFO(file.st_mode))
        return;
    // A FIFO opened before its writer reads as empty; poll waits until a writer
    // has written something or has come and gone.
    pollfd wait = {fileno(input), POLLIN, 0};
    while (poll(&wait, 1, -1) < 0 && errno == EINTR) { }
}

std::FILE* open_output(const char* path)
{
    staged = 0;
    truncate_on_commit = false;
    struct stat existing;
    bool exists = stat(path, &existing) == 0;
    if (exists) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return nullptr;
        }
        // A file this user may not write is not replaced behind its back either:
        // opening it in place reports the refusal.
        if (!S_ISREG(existing.st_mode) || existing.st_nlink > 1 || is_standard_stream(existing)
            || access(path, W_OK) != 0)
            return open_in_place(path);
    } else if (errno != ENOENT) {
        return open_in_place(path);  // it reports why
    }
    std::FILE* stream = stage(path, exists ? &existing : nullptr);
    return stream ? stream : open_in_place(path);  // no file can be made beside it
}

bool commit_output(std::FILE* output)
{
    bool written = std::fflush(output) == 0 && !std::ferror(output);
    if (written && truncate_on_commit) {
        off_t end = lseek(fileno(output), 0, SEEK_CUR);
        written = end >= 0 && ftruncate(fileno(output), end) == 0;
    }
    int error = errno;
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && staged) {
        blocked_signals blocked = block_cleanup_signals();
        written = rename(staged_path, final_path) == 0;
        error = errno;
        staged = !written;
        unblock(blocked);
    }
    if (!written) {
        discard_output(nullptr);
        errno = error;
    }
    return written;
}

void discard_output(std::FILE* output)
{
    if (output)
        std::fclose(output);
    if (staged) {
        blocked_signals blocked = block_cleanup_signals();
        unlink(staged_path);
        staged = 0;
        unblock(blocked);
    }
}
