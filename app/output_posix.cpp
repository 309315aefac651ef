// Placing the output on Linux.
//
// A regular file is replaced: the dump goes to a new file in OUT's directory, which
// takes OUT's place with one rename once every write has succeeded. That file has
// no name until then (O_TMPFILE), so no signal, not even SIGKILL, can leave it
// behind; where the file system cannot make unnamed files it is named, and removed
// on failure and on the signals that end the process.
//
// Only what cannot be replaced is written in place: devices and FIFOs, files with
// more than one hard link, and files that the user may write but the system would
// not let a new file replace.

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/files.h"
#include "app/process_posix.h"
#include "phonebook/phonebook.h"

namespace {

// The longest dump: 100 lines of a three-digit slot, number, name, two spaces and
// a CR LF at most.
constexpr off_t LONGEST_DUMP = SLOT_COUNT * (3 + 1 + NUMBER_LEN + 1 + NAME_LEN + 2);
constexpr int MAX_LINKS = 40;  // as many symbolic links as the kernel follows
// Flags set with chattr that a replacement keeps; none of them limits writing.
constexpr int KEPT_FLAGS = FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

// Holds the whole dump, so that it reaches the file in one write at the end.
char output_buffer[8192];

// The run's one output.
char final_path[PATH_MAX];  // where the dump ends up, symbolic links followed
char named_path[PATH_MAX];  // the new file's name, while it has one
bool replacing = false;     // final_path exists and the new file takes its place
bool unnamed = false;       // the new file has no name yet
bool named = false;         // the new file is at named_path
bool in_place = false;      // a regular file written in place: cut to length at commit

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

void directory_of(const char* path, char (&directory)[PATH_MAX])
{
    std::size_t length = name_start(path);
    if (length == 0)
        std::strcpy(directory, ".");
    else
        copy_path(directory, path, length);
}

// The path that replacing path must rename onto: symbolic links followed, so a
// link stays a link and the file it points to is replaced, even where that file
// does not exist yet.
bool resolve_links(const char* path, char (&resolved)[PATH_MAX])
{
    if (!copy_path(resolved, path, std::strlen(path)))
        return false;
    for (int hops = 0; hops <= MAX_LINKS; ++hops) {
        char target[PATH_MAX];
        ssize_t length = readlink(resolved, target, sizeof target);
        if (length < 0)
            return true;  // not a link (or nothing there): this is the file
        std::size_t keep = target[0] == '/' ? 0 : name_start(resolved);  // relative to the link's directory
        if (length >= PATH_MAX || keep + length >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(resolved + keep, target, length);
        resolved[keep + length] = '\0';
    }
    errno = ELOOP;
    return false;
}

// A name beside the output for the new file, ".NAME.larkbook-PID-N". NAME is cut,
// not within a UTF-8 character, so the whole stays within NAME_MAX however long the
// output's name is.
bool temporary_name(unsigned attempt)
{
    std::size_t directory_length = name_start(final_path);
    const char* name = final_path + directory_length;
    std::size_t keep = std::strlen(name);
    if (keep > NAME_MAX - 40) {
        keep = NAME_MAX - 40;
        while (keep > 0 && (name[keep] & 0xC0) == 0x80)
            --keep;
    }
    int written = std::snprintf(named_path, PATH_MAX, "%.*s.%.*s.larkbook-%ld-%u", static_cast<int>(directory_length),
                                final_path, static_cast<int>(keep), name, static_cast<long>(getpid()), attempt);
    if (written > 0 && written < PATH_MAX)
        return true;
    errno = ENAMETOOLONG;
    return false;
}

// Gives the new file a name beside the output with make_name (which fails with
// EEXIST on a name taken), and notes it for removal on a signal.
template <typename make_name_t> bool name_new_file(make_name_t make_name)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        if (!temporary_name(attempt))
            return false;
        hold_signals();
        named = make_name(named_path);
        if (named)
            remove_on_signal(named_path);
        release_signals();
        if (named || errno != EEXIST)
            return named;
    }
    return false;
}

// The new file takes over what was set on the old one: owner and group as far as
// this user may set them, permission bits, ACL and extended attributes (those the
// user may not set are skipped), and the harmless chattr flags.
void take_over_attributes(int fd, const struct stat& old)
{
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, -1, old.st_gid) != 0) { }
    fremovexattr(fd, "system.posix_acl_access");  // inherited from the directory; the old file's comes below
    fchmod(fd, old.st_mode & 07777);

    static char names[65536], value[65536];
    ssize_t length = listxattr(final_path, names, sizeof names);
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        ssize_t size = getxattr(final_path, names + at, value, sizeof value);
        if (size >= 0)
            fsetxattr(fd, names + at, value, static_cast<std::size_t>(size), 0);
    }

    int old_file = open(final_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int old_flags = 0, flags = 0;
    if (old_file >= 0 && ioctl(old_file, FS_IOC_GETFLAGS, &old_flags) == 0 && (old_flags & KEPT_FLAGS)
        && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= old_flags & KEPT_FLAGS;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (old_file >= 0)
        close(old_file);
}

std::FILE* stream_on(int fd)
{
    std::FILE* stream = fdopen(fd, "w");
    if (!stream) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    std::setvbuf(stream, output_buffer, _IOFBF, sizeof output_buffer);
    return stream;
}

// The new file that will take the output's place; existing is the output as it is.
std::FILE* open_replacement(const struct stat* existing)
{
    char directory[PATH_MAX];
    directory_of(final_path, directory);
    // Mode 0666 and no fchmod for a new output: umask and default ACL apply as to
    // any new file.
    int fd = open(directory, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    unnamed = fd >= 0;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR))  // a file system without unnamed files
        name_new_file([&fd](const char* name) {
            fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd >= 0;
        });
    if (fd < 0)
        return nullptr;
    replacing = existing != nullptr;
    if (replacing)
        take_over_attributes(fd, *existing);
    std::FILE* stream = stream_on(fd);
    if (!stream) {
        int error = errno;
        discard_output(nullptr);
        errno = error;
    }
    return stream;
}

// Whether the system would refuse to rename a new file over the output, though the
// user may write it: a sticky directory of someone else's, or a file that is
// mounted on its own (a bind mount, another file system).
bool replacing_refused(const struct stat& file)
{
    char directory[PATH_MAX];
    directory_of(final_path, directory);
    struct stat parent;
    if (stat(directory, &parent) != 0)
        return false;
    uid_t user = geteuid();
    if ((parent.st_mode & S_ISVTX) && user != 0 && user != file.st_uid && user != parent.st_uid)
        return true;
    struct statx mount { };
    return parent.st_dev != file.st_dev
        || (statx(AT_FDCWD, final_path, 0, 0, &mount) == 0 && (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// Locks a regular file written in place against other writers and reserves the
// room for the longest dump, so that a full disk fails here, before a byte of the
// file changes. Its length stays as it is until commit cuts it.
bool reserve_room(int fd)
{
    if (flock(fd, LOCK_EX) != 0)
        return false;
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
        && limit.rlim_cur < static_cast<rlim_t>(LONGEST_DUMP)) {
        errno = EFBIG;
        return false;
    }
    return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, LONGEST_DUMP) == 0 || errno == EOPNOTSUPP;
}

std::FILE* open_in_place(bool regular)
{
    int fd = open(final_path, O_WRONLY | O_NOCTTY | O_CLOEXEC);  // never created here
    if (fd < 0)
        return nullptr;
    if (regular && !reserve_room(fd)) {
        int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    in_place = regular;
    return stream_on(fd);
}

// Names the unnamed new file: with the output's own name where there is no output
// yet, otherwise with a name beside it that the rename then moves.
bool link_into_place(int fd)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    auto link_as = [&](const char* name) {
        return linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0
            || (errno == ENOENT && linkat(fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0);  // no /proc
    };
    if (!replacing && link_as(final_path))
        return true;
    if (!replacing && errno != EEXIST)
        return false;
    return name_new_file(link_as);
}

bool rename_into_place()
{
    hold_signals();
    bool renamed = rename(named_path, final_path) == 0;
    if (renamed) {
        named = false;
        remove_on_signal(nullptr);
    }
    release_signals();
    return renamed;
}

}  // namespace

std::FILE* open_output(const char* path)
{
    replacing = unnamed = named = in_place = false;
    if (!*path) {
        errno = ENOENT;
        return nullptr;
    }
    if (!resolve_links(path, final_path))
        return nullptr;
    struct stat existing;
    if (stat(final_path, &existing) != 0) {
        if (errno != ENOENT)
            return nullptr;  // a parent that is no directory, a name too long, ...
        if (final_path[name_start(final_path)] == '\0') {
            errno = EISDIR;  // "new/" names a directory
            return nullptr;
        }
        return open_replacement(nullptr);
    }
    if (S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }
    if (!S_ISREG(existing.st_mode) || existing.st_nlink > 1)
        return open_in_place(S_ISREG(existing.st_mode));
    if (access(final_path, W_OK) != 0)
        return nullptr;  // not replaced behind the back of whoever made it read-only
    if (replacing_refused(existing))
        return open_in_place(true);
    std::FILE* stream = open_replacement(&existing);
    if (!stream && (errno == EACCES || errno == EPERM))
        return open_in_place(true);  // the directory takes no new file, but the file may be written
    return stream;
}

bool commit_output(std::FILE* output)
{
    int fd = fileno(output);
    bool written = std::fflush(output) == 0 && !std::ferror(output);
    if (written && in_place) {
        off_t end = lseek(fd, 0, SEEK_CUR);
        written = end >= 0 && ftruncate(fd, end) == 0;
    }
    // The new file is named only once close has confirmed every write.
    int kept = written && unnamed ? dup(fd) : -1;
    int error = errno;
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && unnamed) {
        written = kept >= 0 && link_into_place(kept);
        error = errno;
    }
    if (kept >= 0)
        close(kept);
    if (written && named) {
        written = rename_into_place();
        error = errno;
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
    if (named) {
        unlink(named_path);
        remove_on_signal(nullptr);
        named = false;
    }
}
