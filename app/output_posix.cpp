// The steps on the output on Linux. OUT is opened once, as the shell's ">> OUT"
// opens it (made if absent, never emptied), so that the kernel's guards apply to the
// very file the run then holds and writes; a new OUT is made in the directory that
// the path names, which the run keeps open. The path is only looked at again, to see
// that it still leads to the file the run holds.

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/output.h"
#include "app/process_posix.h"

namespace {

struct output_file {
    const char* path;         // as given on the command line
    int fd = -1;              // OUT, as the run opened it
    struct stat held;         // what fd was when it was opened
    struct stat named;        // what the path led to when last looked at
    int directory = -1;       // the directory the path names OUT in
    char name[NAME_MAX + 1];  // OUT's name in directory
    bool made = false;        // the run made OUT, and it does not hold the dump yet
} out;

// Opens the directory part of path and copies the last name into name.
int open_directory_of(const char* path, char (&name)[NAME_MAX + 1])
{
    const char* slash = std::strrchr(path, '/');
    const char* last = slash ? slash + 1 : path;
    std::size_t length = static_cast<std::size_t>(last - path);  // with the slash: "/" stays the root
    char directory[PATH_MAX] = ".";
    if (std::strlen(last) > NAME_MAX || length >= sizeof directory) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!*last) {
        errno = EISDIR;  // "new/" names a directory
        return -1;
    }
    std::strcpy(name, last);
    if (slash) {
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }
    // Read access, where there is any, lets a new OUT's name be flushed.
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A new OUT, made with O_EXCL in the directory that the path names, so that the run
// knows it made it; signals are held until it is noted for removal.
int make_output()
{
    out.directory = open_directory_of(out.path, out.name);
    if (out.directory < 0)
        return -1;
    hold_signals();
    int fd = openat(out.directory, out.name, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    out.made = fd >= 0 && fstat(fd, &out.held) == 0;
    if (out.made)
        remove_on_signal(out.directory, out.name, &out.held);
    release_signals();
    return fd;
}

// The shell's ">>" open; read access too, where the kernel gives it, so that the old
// bytes can be put back. O_NONBLOCK: a lease another program holds refuses at once
// instead of waiting; a FIFO waits for its reader all the same.
int open_existing_output(bool regular)
{
    constexpr int SHELL_FLAGS = O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
    int fd = regular ? open(out.path, O_RDWR | SHELL_FLAGS, 0666) : -1;
    if (fd < 0 && (!regular || errno == EACCES))
        fd = open(out.path, O_WRONLY | SHELL_FLAGS, 0666);
    if (fd < 0 && errno == ENXIO)  // a FIFO without a reader yet
        fd = open(out.path, O_WRONLY | (SHELL_FLAGS & ~O_NONBLOCK), 0666);
    if (fd >= 0 && !regular)
        fcntl(fd, F_SETFL, 0);  // a device or FIFO is written as the shell writes it
    return fd;
}

// Whether the volume has room for size bytes more than OUT already holds. A volume
// that reports no size at all (/proc, some FUSE) is not called full.
bool room_on_volume(off_t size)
{
    struct stat file;
    struct statvfs volume;
    if (fstat(out.fd, &file) != 0 || fstatvfs(out.fd, &volume) != 0)
        return false;
    unsigned long long blocks = geteuid() == 0 ? volume.f_bfree : volume.f_bavail;
    off_t needed = size - file.st_blocks * 512;
    if (needed <= 0 || volume.f_blocks == 0 || blocks * volume.f_frsize >= static_cast<unsigned long long>(needed))
        return true;
    errno = ENOSPC;
    return false;
}

}  // namespace

file_error find_output(const char* path)
{
    if (!*path)
        return ENOENT;
    out.path = path;
    // What the name holds and, for a link, where it leads, as the open will follow it
    // (a dangling link as the shell follows it). A name that comes while the run
    // makes OUT is left to whoever put it there.
    struct stat entry;
    bool exists = lstat(path, &entry) == 0;
    if (exists && S_ISLNK(entry.st_mode) && stat(path, &entry) != 0 && errno != ENOENT)
        return errno;
    if (!exists && errno != ENOENT)
        return errno;
    out.fd = exists ? open_existing_output(S_ISREG(entry.st_mode)) : make_output();
    if (out.fd < 0)
        return errno == EWOULDBLOCK || (!exists && errno == EEXIST) ? OUTPUT_IN_USE : errno;
    if (!out.made && fstat(out.fd, &out.held) != 0)
        return errno;
    return is_closed_standard_stream(out.held) ? EBADF : 0;
}

bool output_is_input() { return !out.made && same_identity(input_identity(), out.held); }

const char* output_standard_stream() { return out.made ? nullptr : standard_stream_holding(out.held); }

file_error open_found_output() { return 0; }  // the shell's open was the look-up

bool output_is_regular() { return S_ISREG(out.held.st_mode); }

// flock and an open file description's POSIX lock, held until the run ends, keep
// out both kinds of lock that other programs take (flock, lockf, fcntl).
file_error lock_output()
{
    struct flock whole { };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (flock(out.fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? OUTPUT_IN_USE : errno;
    if (fcntl(out.fd, F_OFD_SETLK, &whole) != 0)
        return errno == EAGAIN || errno == EACCES ? OUTPUT_IN_USE : errno;
    return 0;
}

// The longest dump, or less where the file-size limit allows less (some file
// systems count the room kept beyond a file's length against it); or the volume's
// free space checked, where the file system cannot reserve.
file_error reserve_room()
{
    off_t room = static_cast<off_t>(std::min<std::uintmax_t>(output_size_limit(), LONGEST_DUMP));
    if (room == 0 || fallocate(out.fd, FALLOC_FL_KEEP_SIZE, 0, room) == 0
        || ((errno == EOPNOTSUPP || errno == ENOSYS) && room_on_volume(room)))
        return 0;
    return errno;
}

// Asked once: the reservation and the write both go by it.
std::uintmax_t output_size_limit()
{
    static struct rlimit limit = {0, 0};
    static bool asked = getrlimit(RLIMIT_FSIZE, &limit) == 0;
    return asked && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : UINTMAX_MAX;
}

bool output_still_named()
{
    return stat(out.path, &out.named) == 0 && same_identity(out.named, out.held);
}

// As the path's look-up just found it, which was OUT.
std::intmax_t output_length() { return out.named.st_size; }

// One read: signals are held, and a regular file gives all it has. A file the run
// may only write (mode 0200) gives back nothing to put back.
file_error read_output_start(char* bytes, std::size_t size, std::size_t& got)
{
    ssize_t read = pread(out.fd, bytes, size, 0);
    got = read > 0 ? static_cast<std::size_t>(read) : 0;
    return read >= 0 || errno == EBADF ? 0 : errno;
}

file_error write_output(const char* bytes, std::size_t length)
{
    bool regular = output_is_regular();
    for (std::size_t done = 0; done < length;) {
        ssize_t written = regular ? pwrite(out.fd, bytes + done, length - done, static_cast<off_t>(done))
                                  : write(out.fd, bytes + done, length - done);
        if (written < 0 && (errno == EINTR || (errno == ESPIPE && regular))) {
            regular = regular && errno != ESPIPE;  // a file of /proc takes only a plain write
            continue;
        }
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

file_error cut_output(std::uintmax_t length)
{
    return ftruncate(out.fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

// EINVAL: a file that keeps nothing to flush (/proc). A directory opened only as a
// path (no read access) cannot be flushed by the run.
file_error flush_output()
{
    if (fsync(out.fd) != 0 && errno != EINVAL)
        return errno;
    if (out.made && fsync(out.directory) != 0 && errno != EINVAL && errno != EBADF)
        return errno;
    return 0;
}

// Only while OUT's name still holds the file the run made.
void drop_made_output()
{
    hold_signals();
    struct stat entry;
    if (out.made && fstatat(out.directory, out.name, &entry, AT_SYMLINK_NOFOLLOW) == 0
        && same_identity(entry, out.held))
        unlinkat(out.directory, out.name, 0);
    keep_made_output();
    release_signals();
}

void keep_made_output()
{
    out.made = false;
    remove_on_signal(-1, nullptr, nullptr);
}
