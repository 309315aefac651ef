// Placing the output on Linux.
//
// OUT is opened as the kernel resolves it, so that its guards for links and sticky
// directories hold as they hold for the shell's redirection. Then the directory
// that holds the opened file is opened, once, and checked to hold it; every later
// step acts on those two handles, never on a path again.
//
// A regular file is replaced: the dump goes to a new file in that directory, which
// takes OUT's place with one rename once every write has succeeded. That file has
// no name until then (O_TMPFILE); where the file system cannot make unnamed files
// it gets a name nobody can guess and mode 0600, and is removed on failure and on
// the signals that end the process.
//
// Written in place: devices and FIFOs, and regular files that a new file cannot
// replace (see replaceable), locked and with their room reserved first.

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/files.h"
#include "app/process_posix.h"
#include "phonebook/phonebook.h"

namespace {

// The longest dump: 100 lines of a three-digit slot, number, name, two spaces and
// a CR LF at most.
constexpr off_t LONGEST_DUMP = SLOT_COUNT * (3 + 1 + NUMBER_LEN + 1 + NAME_LEN + 2);
// Flags set with chattr that a replacement keeps; none of them limits writing.
constexpr int KEPT_FLAGS = FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

// Holds the whole dump, so that it reaches the file in one write at the end.
char output_buffer[8192];

enum class placement {
    as_is,     // a device, FIFO or terminal: written through
    in_place,  // a regular file written in place: locked, room reserved, cut at commit
    unnamed,   // a new file without a name yet
    named,     // a new file under a temporary name
};

// The run's one output.
struct output_file {
    int existing;                  // OUT as the kernel opened it; -1 where there was none
    struct stat checked;           // what existing was when it was checked
    int directory;                 // the directory that holds OUT; -1 where none does
    char name[NAME_MAX + 1];       // OUT's name in directory
    char temporary[NAME_MAX + 1];  // the new file's name in directory, while it has one
    placement how;
    bool made_by_open;  // the open made OUT (the file of a dangling link): removed on failure
};

output_file out;

bool holds(int directory, const char* name, const struct stat& file)
{
    struct stat entry;
    return fstatat(directory, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_identity(entry, file);
}

void forget_directory()
{
    if (out.directory >= 0)
        close(out.directory);
    out.directory = -1;
}

// Opens the directory part of path and copies the last name into name.
int open_directory_of(const char* path, char (&name)[NAME_MAX + 1])
{
    const char* slash = std::strrchr(path, '/');
    const char* last = slash ? slash + 1 : path;
    if (std::strlen(last) > NAME_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(name, last);
    char directory[PATH_MAX] = ".";
    if (slash) {
        std::size_t length = static_cast<std::size_t>(last - path);  // with the slash: "/" stays the root
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }
    // Read access, where there is any, lets the directory's flags be asked.
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Finds the directory that holds the opened OUT: the path's own directory where
// the path names the file itself, else the one in the path the kernel reports for
// the descriptor (OUT reached through links). A deleted file, a pipe or a file of
// another mount namespace is held by none.
bool find_directory(const char* path, int fd)
{
    out.directory = open_directory_of(path, out.name);
    if (out.directory >= 0 && holds(out.directory, out.name, out.checked))
        return true;
    forget_directory();
    char self[32], resolved[PATH_MAX];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(self, resolved, sizeof resolved - 1);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof resolved) - 1 || resolved[0] != '/')
        return false;
    resolved[length] = '\0';
    out.directory = open_directory_of(resolved, out.name);
    if (out.directory >= 0 && holds(out.directory, out.name, out.checked))
        return true;
    forget_directory();
    return false;
}

int sysctl_value(const char* file)
{
    char text[16] = {};
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    return length > 0 ? std::atoi(text) : 0;
}

// Whether the kernel refuses the shell's ">>" of this existing file, an open with
// O_CREAT: fs.protected_regular and fs.protected_fifos keep everyone, root too, out
// of files that others left in a sticky directory.
bool guarded_in_sticky_directory(const struct stat& directory, const struct stat& file)
{
    if (!(directory.st_mode & S_ISVTX) || file.st_uid == directory.st_uid || file.st_uid == geteuid())
        return false;
    int level = S_ISREG(file.st_mode) ? sysctl_value("/proc/sys/fs/protected_regular")
        : S_ISFIFO(file.st_mode)      ? sysctl_value("/proc/sys/fs/protected_fifos")
                                      : 0;
    return (level >= 1 && (directory.st_mode & S_IWOTH)) || (level >= 2 && (directory.st_mode & S_IWGRP));
}

// OUT does not exist yet: the directory it is to be made in. A dangling symbolic
// link is left to the kernel, which makes the file it points to, as the shell's
// redirection does; a failed run removes that file again.
bool find_new_output(const char* path)
{
    out.directory = open_directory_of(path, out.name);
    if (out.directory < 0)
        return false;
    if (!out.name[0]) {
        errno = EISDIR;  // "new/" names a directory
        return false;
    }
    struct stat entry;
    if (fstatat(out.directory, out.name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    out.existing = openat(out.directory, out.name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    forget_directory();
    if (out.existing < 0 || fstat(out.existing, &out.checked) != 0)
        return false;
    out.made_by_open = S_ISLNK(entry.st_mode);
    find_directory(path, out.existing);
    return true;
}

// Checks the file found as the shell's redirection would meet it, and opens it for
// writing through the same handle (by path again, compared, where there is no /proc).
int checked_for_writing(int found, const char* path)
{
    struct stat directory;
    if (fstat(found, &out.checked) != 0)
        return -1;
    if (S_ISDIR(out.checked.st_mode) || is_closed_standard_stream(out.checked)) {
        errno = S_ISDIR(out.checked.st_mode) ? EISDIR : EBADF;
        return -1;
    }
    if (find_directory(path, found) && fstat(out.directory, &directory) == 0
        && guarded_in_sticky_directory(directory, out.checked)) {
        errno = EACCES;
        return -1;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", found);
    int fd = open(self, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    struct stat file;
    if (fd >= 0 && (fstat(fd, &file) != 0 || !same_identity(file, out.checked))) {
        close(fd);
        errno = EBUSY;  // replaced by another program meanwhile
        return -1;
    }
    return fd;
}

bool append_only(int directory)
{
    int flags = 0;
    return ioctl(directory, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL);
}

// Whether a new file may take OUT's place: there is none yet, or it is a regular
// file with one name, in a directory that holds it, lets it be renamed over (not
// append-only, not someone else's sticky directory) and is on its file system
// (not a mount of its own).
bool replaceable()
{
    if (out.existing < 0)
        return true;
    struct stat directory;
    if (out.directory < 0 || out.checked.st_nlink > 1 || append_only(out.directory)
        || fstat(out.directory, &directory) != 0)
        return false;
    uid_t user = geteuid();
    if ((directory.st_mode & S_ISVTX) && user != 0 && user != out.checked.st_uid && user != directory.st_uid)
        return false;
    struct statx mount { };
    return directory.st_dev == out.checked.st_dev
        && !(statx(out.directory, out.name, AT_SYMLINK_NOFOLLOW, 0, &mount) == 0
             && (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// Gives the new file a name beside OUT that nobody can guess, ".OUT.larkbook-" and
// 16 random hex digits, with make_name, which fails with EEXIST on a name taken. The
// name is noted for removal on a signal. Returns what make_name returned.
template <typename make_name_t> int name_new_file(make_name_t make_name)
{
    // OUT's name is cut, not within a UTF-8 character, to leave room for the rest.
    int keep = static_cast<int>(std::strlen(out.name));
    for (; keep > NAME_MAX - 32 || (out.name[keep] & 0xC0) == 0x80; --keep) { }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t random;
        if (getrandom(&random, sizeof random, 0) != sizeof random)
            return -1;
        char name[NAME_MAX + 1];
        std::snprintf(name, sizeof name, ".%.*s.larkbook-%016llx", keep, out.name,
                      static_cast<unsigned long long>(random));
        hold_signals();
        int made = make_name(name);
        if (made >= 0) {
            std::strcpy(out.temporary, name);
            remove_on_signal(out.directory, out.temporary);
        }
        release_signals();
        if (made >= 0 || errno != EEXIST)
            return made;
    }
    return -1;
}

void remove_temporary_name()
{
    if (!out.temporary[0])
        return;
    unlinkat(out.directory, out.temporary, 0);
    remove_on_signal(-1, nullptr);
    out.temporary[0] = '\0';
}

int make_new_file()
{
    // Mode 0666: no one sees an unnamed file, and a new OUT gets what the umask and
    // the directory's default ACL give any new file.
    int fd = openat(out.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    out.how = placement::unnamed;
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    if (append_only(out.directory)) {
        errno = EPERM;  // a name made there could never be removed
        return -1;
    }
    out.how = placement::named;
    return name_new_file([](const char* name) {
        return openat(out.directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
}

// Makes sure that size bytes fit into the file before a byte is written: the room
// is reserved where the file system can, else the volume's free space beyond the
// blocks the file already holds is checked.
bool reserve_room(int fd, off_t size)
{
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0)
        return true;
    if (errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    struct stat file;
    struct statvfs volume;
    if (fstat(fd, &file) != 0 || fstatvfs(fd, &volume) != 0)
        return false;
    unsigned long long blocks = geteuid() == 0 ? volume.f_bfree : volume.f_bavail;
    off_t needed = size - file.st_blocks * 512;
    if (needed <= 0 || blocks * volume.f_frsize >= static_cast<unsigned long long>(needed))
        return true;
    errno = ENOSPC;
    return false;
}

// Locks a regular file written in place against other writers and reserves the
// room for the longest dump, so that a full disk fails here, before a byte of it
// changes; its length stays until commit cuts it. A lock another program holds is
// not waited for.
int open_in_place()
{
    out.how = placement::in_place;
    if (flock(out.existing, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            errno = EBUSY;
        return -1;
    }
    return reserve_room(out.existing, LONGEST_DUMP) ? out.existing : -1;
}

void drop_new_file(int fd)
{
    int error = errno;
    close(fd);
    remove_temporary_name();
    errno = error;
}

// A new file to take OUT's place, with OUT's owner and group and its room reserved.
// Where the directory takes no new file, or the owner cannot be kept, an existing
// OUT is written in place instead.
int open_replacement()
{
    int fd = make_new_file();
    if (fd >= 0 && out.existing >= 0 && fchown(fd, out.checked.st_uid, out.checked.st_gid) != 0) {
        drop_new_file(fd);
        fd = -1;
    }
    if (fd < 0)
        return out.existing >= 0 && (errno == EACCES || errno == EPERM) ? open_in_place() : -1;
    if (!reserve_room(fd, LONGEST_DUMP)) {
        drop_new_file(fd);
        return -1;
    }
    return fd;
}

std::FILE* stream_on(int fd)
{
    std::FILE* stream = fdopen(fd, "w");
    if (!stream) {
        int error = errno;
        discard_output(nullptr);
        close(fd);
        errno = error;
        return nullptr;
    }
    std::setvbuf(stream, output_buffer, _IOFBF, sizeof output_buffer);
    return stream;
}

bool fits_size_limit(long length)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY
        || static_cast<rlim_t>(length) <= limit.rlim_cur)
        return true;
    errno = EFBIG;
    return false;
}

// The complete new file takes over OUT's mode, ACL, extended attributes (those the
// user may not set are skipped) and harmless chattr flags, read from the file that
// was checked; a named new OUT gets the mode of a new file. Only now may others read it.
void take_over_attributes(int fd)
{
    if (out.existing < 0) {
        mode_t mask = umask(0);
        umask(mask);
        if (out.how == placement::named)
            fchmod(fd, 0666 & ~mask);
        return;
    }
    fremovexattr(fd, "system.posix_acl_access");  // inherited from the directory; OUT's own comes below
    fchmod(fd, out.checked.st_mode & 07777);

    static char names[65536], value[65536];
    ssize_t length = flistxattr(out.existing, names, sizeof names);
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        ssize_t size = fgetxattr(out.existing, names + at, value, sizeof value);
        if (size >= 0)
            fsetxattr(fd, names + at, value, static_cast<std::size_t>(size), 0);
    }
    int old_flags = 0, flags = 0;
    if (ioctl(out.existing, FS_IOC_GETFLAGS, &old_flags) == 0 && (old_flags & KEPT_FLAGS)
        && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= old_flags & KEPT_FLAGS;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
}

// Gives the unnamed file fd the name in OUT's directory; fails with EEXIST where
// the name is taken.
int link_unnamed(int fd, const char* name)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, self, out.directory, name, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    return errno == ENOENT ? linkat(fd, "", out.directory, name, AT_EMPTY_PATH) : -1;  // no /proc
}

// Moves the named new file to OUT's name: over the file that was checked, as long
// as the name still names it, or to a name that is still free.
bool rename_into_place()
{
    if (out.existing >= 0 && !holds(out.directory, out.name, out.checked)) {
        errno = EBUSY;  // replaced by another program during the run
        return false;
    }
    hold_signals();
    bool renamed = out.existing >= 0
        ? renameat(out.directory, out.temporary, out.directory, out.name) == 0
        : renameat2(out.directory, out.temporary, out.directory, out.name, RENAME_NOREPLACE) == 0
            || (errno == EINVAL && linkat(out.directory, out.temporary, out.directory, out.name, 0) == 0
                && unlinkat(out.directory, out.temporary, 0) == 0);
    if (renamed) {
        out.temporary[0] = '\0';
        remove_on_signal(-1, nullptr);
    }
    release_signals();
    return renamed;
}

// Puts the complete new file in OUT's place. An unnamed file gets OUT's name at
// once where there is no OUT, else a temporary one that the rename then moves: the
// one moment in which SIGKILL can leave a file behind.
bool place_new_file(int fd)
{
    if (out.how == placement::unnamed) {
        if (out.existing < 0)
            return link_unnamed(fd, out.name) == 0;
        if (name_new_file([fd](const char* name) { return link_unnamed(fd, name); }) < 0)
            return false;
    }
    return rename_into_place();
}

}  // namespace

bool find_output(const char* path)
{
    out = {-1, {}, -1, {}, {}, placement::as_is, false};
    if (!*path) {
        errno = ENOENT;
        return false;
    }
    // Resolved by the kernel, without opening it for anything yet: a FIFO would
    // wait for a reader, and a file that does not exist is not made here, so that a
    // failed run leaves no OUT where there was none.
    int found = open(path, O_PATH | O_CLOEXEC);
    if (found < 0)
        return errno == ENOENT && find_new_output(path);
    out.existing = checked_for_writing(found, path);
    close(found);
    return out.existing >= 0;
}

bool output_is_input(std::FILE* input)
{
    struct stat file;
    return out.existing >= 0 && fstat(fileno(input), &file) == 0 && same_identity(file, out.checked);
}

const char* output_standard_stream()
{
    struct stat stream;
    if (out.existing < 0 || S_ISCHR(out.checked.st_mode))
        return nullptr;
    if (fstat(STDOUT_FILENO, &stream) == 0 && same_identity(out.checked, stream))
        return "standard output";
    if (fstat(STDERR_FILENO, &stream) == 0 && same_identity(out.checked, stream))
        return "standard error";
    return nullptr;
}

std::FILE* open_output()
{
    int fd = out.existing >= 0 && !S_ISREG(out.checked.st_mode) ? out.existing
        : replaceable()                                         ? open_replacement()
                                                                : open_in_place();
    return fd >= 0 ? stream_on(fd) : nullptr;
}

bool commit_output(std::FILE* output)
{
    int fd = fileno(output);
    bool regular = out.how != placement::as_is;
    long length = regular ? std::ftell(output) : 0;  // the whole dump, still in the buffer
    if (length < 0 || (regular && !fits_size_limit(length))) {
        discard_output(output);
        return false;
    }
    // Cuts a file written in place to the dump; frees the room reserved past it.
    bool written = std::fflush(output) == 0 && !std::ferror(output) && (!regular || ftruncate(fd, length) == 0);
    bool new_file = out.how == placement::unnamed || out.how == placement::named;
    if (written && new_file)
        take_over_attributes(fd);
    // The new file is named only once close has confirmed every write.
    int kept = written && out.how == placement::unnamed ? dup(fd) : -1;
    int error = errno;
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && new_file) {
        written = (out.how == placement::named || kept >= 0) && place_new_file(kept);
        error = errno;
    }
    if (kept >= 0)
        close(kept);
    errno = error;
    if (!written)
        discard_output(nullptr);
    return written;
}

void discard_output(std::FILE* output)
{
    int error = errno;
    if (output) {
        __fpurge(output);  // what never reached the file stays out of it
        std::fclose(output);
    }
    remove_temporary_name();
    if (out.made_by_open && out.directory >= 0 && holds(out.directory, out.name, out.checked))
        unlinkat(out.directory, out.name, 0);
    out.made_by_open = false;
    errno = error;
}
