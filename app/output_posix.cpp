// Placing the output on Linux.
//
// Every step acts on the handles of OUT and of its directory that finding it left
// (output_find_posix.cpp), never on a path. Only the run's own new file is ever
// removed, and only while its name still holds it.
//
// A regular file is replaced: the dump goes to a new file in that directory, which
// takes OUT's place with one rename once every write has succeeded. That file has
// no name until then (O_TMPFILE); where the file system cannot make unnamed files
// it gets a name nobody can guess and mode 0600, and is removed on failure and on
// the signals that end the process.
//
// Written in place: devices and FIFOs, and regular files that a new file cannot
// replace (see replaceable), with their room reserved first. Every existing
// regular file is locked first, replaced or not.

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/files.h"
#include "app/output_posix.h"
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

// Whether OUT's directory, as statx found it, is append-only (chattr +a), where no
// name can be renamed over or removed. A flag that cannot be read counts as set:
// the file is then written in place, as the shell would write it.
bool append_only(const struct statx& directory)
{
    if (directory.stx_attributes_mask & STATX_ATTR_APPEND)
        return directory.stx_attributes & STATX_ATTR_APPEND;
    int flags = 0;
    if (ioctl(the_output.directory, FS_IOC_GETFLAGS, &flags) == 0)
        return flags & FS_APPEND_FL;
    return errno != ENOTTY && errno != EOPNOTSUPP && errno != ENOSYS;  // else the file system has no such flags
}

// Whether a new file may take OUT's place: there is none yet, or it is a regular
// file with one name, in a directory that holds it, lets it be renamed over (not
// append-only) and is on its file system (not a mount of its own).
bool replaceable()
{
    if (the_output.existing < 0)
        return true;
    struct statx directory { }, mount { };
    if (the_output.directory < 0 || the_output.checked.st_nlink > 1
        || statx(the_output.directory, "", AT_EMPTY_PATH, 0, &directory) != 0 || append_only(directory))
        return false;
    return makedev(directory.stx_dev_major, directory.stx_dev_minor) == the_output.checked.st_dev
        && !(statx(the_output.directory, the_output.name, AT_SYMLINK_NOFOLLOW, 0, &mount) == 0
             && (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// Gives the new file a name beside OUT that nobody can guess, ".OUT.larkbook-" and
// 16 random hex digits, with make_name, which returns the descriptor of the file it
// named, or -1 and EEXIST on a name taken. The name is noted for removal on a
// signal. Returns what make_name returned.
template <typename make_name_t> int name_new_file(make_name_t make_name)
{
    // OUT's name is cut, not within a UTF-8 character, to leave room for the rest.
    int keep = static_cast<int>(std::strlen(the_output.name));
    for (; keep > 0 && (keep > NAME_MAX - 32 || (the_output.name[keep] & 0xC0) == 0x80); --keep) { }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t random;
        if (getrandom(&random, sizeof random, 0) != sizeof random)
            return -1;
        char name[NAME_MAX + 1];
        std::snprintf(name, sizeof name, ".%.*s.larkbook-%016llx", keep, the_output.name,
                      static_cast<unsigned long long>(random));
        hold_signals();
        int made = make_name(name);
        if (made >= 0 && fstat(made, &the_output.made) == 0) {
            std::strcpy(the_output.temporary, name);
            remove_on_signal(the_output.directory, the_output.temporary, &the_output.made);
        }
        release_signals();
        if (made >= 0 || errno != EEXIST)
            return made;
    }
    return -1;
}

void remove_temporary_name()
{
    if (!the_output.temporary[0])
        return;
    if (holds(the_output.directory, the_output.temporary, the_output.made))
        unlinkat(the_output.directory, the_output.temporary, 0);
    remove_on_signal(-1, nullptr, nullptr);
    the_output.temporary[0] = '\0';
}

int make_new_file()
{
    // Mode 0666: no one sees an unnamed file, and a new OUT gets what the umask and
    // the directory's default ACL give any new file.
    int fd = openat(the_output.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    the_output.how = placement::unnamed;
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR))
        return fd;
    struct statx directory { };
    if (statx(the_output.directory, "", AT_EMPTY_PATH, 0, &directory) != 0 || append_only(directory)) {
        errno = EPERM;  // a name made there could never be removed
        return -1;
    }
    the_output.how = placement::named;
    return name_new_file([](const char* name) {
        return openat(the_output.directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
}

// Whether the volume has room for size bytes more than the file already holds. A
// volume that reports no size at all (/proc, some FUSE) is not called full.
bool room_on_volume(int fd, off_t size)
{
    struct stat file;
    struct statvfs volume;
    if (fstat(fd, &file) != 0 || fstatvfs(fd, &volume) != 0)
        return false;
    unsigned long long blocks = geteuid() == 0 ? volume.f_bfree : volume.f_bavail;
    off_t needed = size - file.st_blocks * 512;
    if (needed <= 0 || volume.f_blocks == 0 || blocks * volume.f_frsize >= static_cast<unsigned long long>(needed))
        return true;
    errno = ENOSPC;
    return false;
}

// The file-size limit (ulimit -f) in bytes; RLIM_INFINITY, the largest value,
// where there is none.
rlim_t file_size_limit()
{
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

// The room a dump may take: the longest dump, or less where the file-size limit
// allows less. A dump past the limit is refused at commit.
off_t room_for_dump()
{
    return static_cast<off_t>(std::min(file_size_limit(), static_cast<rlim_t>(LONGEST_DUMP)));
}

// Makes sure that a dump fits into a file written in place before a byte of it
// changes: the room is reserved where the file system can, else the volume's free
// space is checked. Its length stays until commit cuts it.
int open_in_place()
{
    the_output.how = placement::in_place;
    off_t room = room_for_dump();
    if (fallocate(the_output.existing, FALLOC_FL_KEEP_SIZE, 0, room) == 0
        || ((errno == EOPNOTSUPP || errno == ENOSYS) && room_on_volume(the_output.existing, room)))
        return the_output.existing;
    return -1;
}

// Whether another program holds a lock on the existing OUT, by flock or by a POSIX
// record lock; ours, taken here, keeps other runs out. It is not waited for.
bool locked_elsewhere()
{
    struct flock whole { };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (flock(the_output.existing, LOCK_EX | LOCK_NB) == 0
        && (fcntl(the_output.existing, F_OFD_GETLK, &whole) != 0 || whole.l_type == F_UNLCK))
        return false;
    errno = EBUSY;
    return true;
}

void drop_new_file(int fd)
{
    int error = errno;
    close(fd);
    remove_temporary_name();
    errno = error;
}

// A new file to take OUT's place, with OUT's owner and group, on a volume with room
// for it. Reserving its blocks would cost more than the whole rest of a run, and a
// failure at the end leaves OUT as it was all the same.
// Where the directory takes no new file, the new file's longer name does not fit
// (a path at the limit of a FUSE file system), or the owner cannot be kept (another
// user's file, as in a sticky directory), an existing OUT is written in place instead.
int open_replacement()
{
    int fd = make_new_file();
    if (fd >= 0 && the_output.existing >= 0 && fchown(fd, the_output.checked.st_uid, the_output.checked.st_gid) != 0) {
        drop_new_file(fd);
        fd = -1;
    }
    if (fd < 0)
        return the_output.existing >= 0 && (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG)
            ? open_in_place()
            : -1;
    if (!room_on_volume(fd, room_for_dump())) {
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
        close(fd);
        errno = error;
        return nullptr;
    }
    std::setvbuf(stream, output_buffer, _IOFBF, sizeof output_buffer);
    return stream;
}

bool fits_size_limit(long length)
{
    if (static_cast<rlim_t>(length) <= file_size_limit())
        return true;
    errno = EFBIG;
    return false;
}

// Gives the named new file the access ACL that the directory's default ACL gives
// any new file of mode 0666, as the kernel makes it: no execute permission for
// owner, group class or others. false where the directory has no default ACL.
bool inherit_default_acl(int fd)
{
    static char acl[65536];
    ssize_t size = fgetxattr(the_output.directory, "system.posix_acl_default", acl, sizeof acl);
    if (size < static_cast<ssize_t>(sizeof(posix_acl_xattr_header)))
        return false;
    auto* entries = reinterpret_cast<posix_acl_xattr_entry*>(acl + sizeof(posix_acl_xattr_header));
    std::size_t count = (static_cast<std::size_t>(size) - sizeof(posix_acl_xattr_header)) / sizeof *entries;
    bool masked = false;
    for (std::size_t i = 0; i < count; ++i)
        masked = masked || entries[i].e_tag == ACL_MASK;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t tag = entries[i].e_tag;
        if (tag == ACL_USER_OBJ || tag == ACL_OTHER || tag == ACL_MASK || (tag == ACL_GROUP_OBJ && !masked))
            entries[i].e_perm &= ACL_READ | ACL_WRITE;
    }
    return fsetxattr(fd, "system.posix_acl_access", acl, static_cast<std::size_t>(size), 0) == 0;
}

// The complete new file takes over OUT's mode, ACL, extended attributes (those the
// user may not set are skipped) and harmless chattr flags, read from the file that
// was checked; a named new OUT gets the mode of a new file. Only now may others read it.
void take_over_attributes(int fd)
{
    if (the_output.existing < 0) {
        mode_t mask = umask(0);
        umask(mask);
        if (the_output.how == placement::named && !inherit_default_acl(fd))
            fchmod(fd, 0666 & ~mask);
        return;
    }
    fremovexattr(fd, "system.posix_acl_access");  // inherited from the directory; OUT's own comes below
    fchmod(fd, the_output.checked.st_mode & 07777);

    static char names[65536], value[65536];
    ssize_t length = flistxattr(the_output.existing, names, sizeof names);
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        ssize_t size = fgetxattr(the_output.existing, names + at, value, sizeof value);
        if (size >= 0)
            fsetxattr(fd, names + at, value, static_cast<std::size_t>(size), 0);
    }
    int old_flags = 0, flags = 0;
    if (ioctl(the_output.existing, FS_IOC_GETFLAGS, &old_flags) == 0 && (old_flags & KEPT_FLAGS)
        && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags |= old_flags & KEPT_FLAGS;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
}

// Gives the unnamed file fd the name in OUT's directory; fails with EEXIST where
// the name is taken, and follows no link that may stand there. Returns fd.
int link_unnamed(int fd, const char* name)
{
    if (linkat(AT_FDCWD, path_of_descriptor(fd).text, the_output.directory, name, AT_SYMLINK_FOLLOW) == 0
        || (errno == ENOENT && linkat(fd, "", the_output.directory, name, AT_EMPTY_PATH) == 0))  // no /proc
        return fd;
    return -1;
}

// Moves the named new file to a name that is still free: with one rename, or with
// a link and an unlink where the file system has no such rename.
bool move_to_free_name()
{
    const int at = the_output.directory;
    if (renameat2(at, the_output.temporary, at, the_output.name, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL || linkat(at, the_output.temporary, at, the_output.name, 0) != 0)
        return false;
    unlinkat(at, the_output.temporary, 0);  // the complete file has its name now
    return true;
}

// Moves the named new file to OUT's name: over the file that was checked, as long
// as the name still names it, or to a name that is still free.
bool rename_into_place()
{
    if (the_output.existing >= 0 && !holds(the_output.directory, the_output.name, the_output.checked)) {
        errno = EBUSY;  // replaced by another program during the run
        return false;
    }
    hold_signals();
    bool renamed = the_output.existing >= 0
        ? renameat(the_output.directory, the_output.temporary, the_output.directory, the_output.name) == 0
        : move_to_free_name();
    if (renamed) {
        the_output.temporary[0] = '\0';
        remove_on_signal(-1, nullptr, nullptr);
    }
    release_signals();
    return renamed;
}

// Puts the complete new file in OUT's place. An unnamed file gets OUT's name at
// once where there is no OUT, else a temporary one that the rename then moves: the
// one moment in which SIGKILL can leave a file behind. A new OUT that another
// program made meanwhile is left to it.
bool place_new_file(int fd)
{
    bool placed = the_output.how == placement::unnamed && the_output.existing < 0
        ? link_unnamed(fd, the_output.name) >= 0
        : (the_output.how == placement::named || name_new_file([fd](const char* name) { return link_unnamed(fd, name); }) >= 0)
            && rename_into_place();
    if (!placed && errno == EEXIST && the_output.existing < 0)
        errno = EBUSY;
    return placed;
}

}  // namespace

std::FILE* open_output()
{
    int fd = the_output.existing >= 0 && !S_ISREG(the_output.checked.st_mode) ? the_output.existing
        : the_output.existing >= 0 && locked_elsewhere()                      ? -1
        : replaceable()                                                       ? open_replacement()
                                                                              : open_in_place();
    return fd >= 0 ? stream_on(fd) : nullptr;
}

bool commit_output(std::FILE* output)
{
    int fd = fileno(output);
    bool regular = the_output.how != placement::as_is;
    long length = regular ? std::ftell(output) : 0;  // the whole dump, still in the buffer
    if (length < 0 || (regular && !fits_size_limit(length))) {
        discard_output(output);
        return false;
    }
    // Cuts a file written in place to the dump, and frees the room reserved past it.
    bool written = std::fflush(output) == 0 && !std::ferror(output)
        && (the_output.how != placement::in_place || ftruncate(fd, length) == 0);
    bool new_file = the_output.how == placement::unnamed || the_output.how == placement::named;
    if (written && new_file)
        take_over_attributes(fd);
    // The new file is named only once close has confirmed every write.
    int kept = written && the_output.how == placement::unnamed ? dup(fd) : -1;
    int error = errno;
    if (std::fclose(output) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && new_file) {
        written = (the_output.how == placement::named || kept >= 0) && place_new_file(kept);
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
    errno = error;
}
