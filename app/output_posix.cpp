// The steps on the output on Linux. OUT is opened once, as the shell's ">> OUT"
// opens it, relative to the directory that the path names, so that the kernel's
// guards apply to the very file the run holds; every later step acts on these two
// handles. The new file has no name (O_TMPFILE) or, where the file system cannot
// make such files, one nobody can guess, with mode 0600 until it is complete.

#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
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
#include <cstdio>
#include <cstring>

#include "app/output.h"
#include "app/process_posix.h"

namespace {

// Flags set with chattr that a new file may carry; none of them limits writing.
constexpr int KEPT_FLAGS = FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL | FS_SYNC_FL;

struct output_file {
    int existing = -1;             // OUT as the shell's ">>" opened it; -1 for a new OUT
    struct stat checked;           // what existing was when it was opened
    int directory = -1;            // the directory that holds OUT, or that a new OUT goes to
    char name[NAME_MAX + 1];       // OUT's name in directory
    int replacement = -1;          // the new file
    bool unnamed = false;          // the new file has no name of its own (O_TMPFILE)
    char temporary[NAME_MAX + 1];  // the new file's name in directory, while it has one
    struct stat made;              // the new file, once it has a name
} out;

bool holds(const char* name, const struct stat& file)
{
    struct stat entry;
    return fstatat(out.directory, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_identity(entry, file);
}

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
    std::strcpy(name, last);
    if (slash) {
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }
    // Read access, where there is any, lets the directory's flags be asked.
    int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The path under /proc that names what fd is open on.
const char* path_of_descriptor(int fd)
{
    static char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return path;
}

// OUT reached through links: the directory in the path that the kernel reports
// for the opened file, if it holds that file. A deleted file, a pipe, a file of
// another mount namespace, or any file where there is no /proc, is held by none.
void find_directory()
{
    close(out.directory);
    out.directory = -1;
    char resolved[PATH_MAX];
    ssize_t length = readlink(path_of_descriptor(out.existing), resolved, sizeof resolved - 1);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof resolved) - 1 || resolved[0] != '/')
        return;
    resolved[length] = '\0';
    out.directory = open_directory_of(resolved, out.name);
    if (out.directory >= 0 && !holds(out.name, out.checked)) {
        close(out.directory);
        out.directory = -1;
    }
}

// Whether OUT's directory is append-only (chattr +a), where no name can be renamed
// over or removed. A flag that cannot be read counts as set.
bool append_only()
{
    struct statx directory { };
    if (statx(out.directory, "", AT_EMPTY_PATH, 0, &directory) != 0)
        return true;
    if (directory.stx_attributes_mask & STATX_ATTR_APPEND)
        return directory.stx_attributes & STATX_ATTR_APPEND;
    int flags = 0;
    if (ioctl(out.directory, FS_IOC_GETFLAGS, &flags) == 0)
        return flags & FS_APPEND_FL;
    return errno != ENOTTY && errno != EOPNOTSUPP && errno != ENOSYS;  // else the file system has no such flags
}

// Gives the new file the name ".OUT.larkbook-" and 16 random hex digits with
// make_name, which returns false and EEXIST on a name taken. Called with signals
// held, so that none comes between the name and its note.
template <typename make_name_t> bool name_new_file(make_name_t make_name)
{
    // OUT's name is cut, not within a UTF-8 character, to leave room for the rest.
    int keep = static_cast<int>(std::strlen(out.name));
    for (; keep > 0 && (keep > NAME_MAX - 32 || (out.name[keep] & 0xC0) == 0x80); --keep) { }
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long long random;
        if (getrandom(&random, sizeof random, 0) != sizeof random)
            return false;
        char name[NAME_MAX + 1];
        std::snprintf(name, sizeof name, ".%.*s.larkbook-%016llx", keep, out.name, random);
        if (make_name(name) && fstat(out.replacement, &out.made) == 0) {
            std::strcpy(out.temporary, name);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

void forget_temporary_name()
{
    out.temporary[0] = '\0';
    remove_on_signal(-1, nullptr, nullptr);
}

// Names the unnamed new file; EEXIST where the name is taken, whatever stands there.
bool link_unnamed(const char* name)
{
    return linkat(AT_FDCWD, path_of_descriptor(out.replacement), out.directory, name, AT_SYMLINK_FOLLOW) == 0
        || (errno == ENOENT && linkat(out.replacement, "", out.directory, name, AT_EMPTY_PATH) == 0);  // no /proc
}

// Moves the named new file to a free name: one rename, or a link and an unlink.
bool move_to_free_name()
{
    const int at = out.directory;
    if (renameat2(at, out.temporary, at, out.name, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL || linkat(at, out.temporary, at, out.name, 0) != 0)
        return false;
    unlinkat(at, out.temporary, 0);  // the complete file has its name now
    return true;
}

// Swaps the new file with OUT and keeps the swap only where OUT's name held OUT,
// then removes the old OUT. Where names cannot be swapped, the new file is renamed
// over OUT after the check that carry_over made.
file_error exchange_with_output()
{
    const int at = out.directory;
    if (renameat2(at, out.temporary, at, out.name, RENAME_EXCHANGE) != 0)
        return errno != EINVAL || renameat(at, out.temporary, at, out.name) != 0 ? errno : 0;
    if (holds(out.temporary, out.checked)) {
        unlinkat(at, out.temporary, 0);
        return 0;
    }
    // Given back to the program that put its file there.
    return renameat2(at, out.temporary, at, out.name, RENAME_EXCHANGE) == 0 ? OUTPUT_IN_USE : errno;
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

// The longest dump, or less where the file-size limit allows less.
off_t room_for_dump() { return static_cast<off_t>(std::min<std::uintmax_t>(output_size_limit(), LONGEST_DUMP)); }

// Gives the named new file of a new OUT the ACL that the directory's default ACL
// gives a new file of mode 0666. false where there is none.
bool inherit_default_acl()
{
    static char acl[65536];
    ssize_t size = fgetxattr(out.directory, "system.posix_acl_default", acl, sizeof acl);
    if (size < static_cast<ssize_t>(sizeof(posix_acl_xattr_header)))
        return false;
    auto* entries = reinterpret_cast<posix_acl_xattr_entry*>(acl + sizeof(posix_acl_xattr_header));
    std::size_t count = (static_cast<std::size_t>(size) - sizeof(posix_acl_xattr_header)) / sizeof *entries;
    bool masked = std::any_of(entries, entries + count, [](const auto& entry) { return entry.e_tag == ACL_MASK; });
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t tag = entries[i].e_tag;
        if (tag == ACL_USER_OBJ || tag == ACL_OTHER || tag == ACL_MASK || (tag == ACL_GROUP_OBJ && !masked))
            entries[i].e_perm &= ACL_READ | ACL_WRITE;
    }
    return fsetxattr(out.replacement, "system.posix_acl_access", acl, static_cast<std::size_t>(size), 0) == 0;
}

// OUT's extended attributes, its ACL among them, all or false; not a capability,
// which a write in place would drop.
bool carry_extended_attributes()
{
    static char names[65536], value[65536];
    if (fremovexattr(out.replacement, "system.posix_acl_access") != 0 && errno != ENODATA && errno != EOPNOTSUPP)
        return false;  // inherited from the directory; OUT's own comes below
    ssize_t length = flistxattr(out.existing, names, sizeof names);
    if (length < 0)
        return errno == EOPNOTSUPP;  // a file system without them
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        if (std::strcmp(names + at, "security.capability") == 0)
            continue;
        ssize_t size = fgetxattr(out.existing, names + at, value, sizeof value);
        if (size < 0 || fsetxattr(out.replacement, names + at, value, static_cast<std::size_t>(size), 0) != 0)
            return false;
    }
    return true;
}

// OUT's chattr flags, all or false; those that limit writing keep it from being
// opened at all.
bool carry_flags()
{
    int old_flags = 0, flags = 0;
    if (ioctl(out.existing, FS_IOC_GETFLAGS, &old_flags) != 0)
        return errno == ENOTTY || errno == EOPNOTSUPP;  // a file system without them
    if (ioctl(out.replacement, FS_IOC_GETFLAGS, &flags) != 0 || (old_flags & ~KEPT_FLAGS & ~flags))
        return false;
    int wanted = (flags & ~KEPT_FLAGS) | (old_flags & KEPT_FLAGS);
    return wanted == flags || ioctl(out.replacement, FS_IOC_SETFLAGS, &wanted) == 0;
}

}  // namespace

file_error find_output(const char* path)
{
    if (!*path)
        return ENOENT;
    if (std::strlen(path) >= PATH_MAX)
        return ENAMETOOLONG;
    out.directory = open_directory_of(path, out.name);
    if (out.directory < 0)
        return errno;
    if (!out.name[0])
        return EISDIR;  // "new/" names a directory
    struct stat entry;
    if (fstatat(out.directory, out.name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;  // a new OUT
    // No O_TRUNC: nothing changes before the dump is complete. A FIFO waits for its
    // reader here, as it does for the shell.
    out.existing = openat(out.directory, out.name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (out.existing < 0 || fstat(out.existing, &out.checked) != 0)
        return errno;
    if (is_closed_standard_stream(out.checked))
        return EBADF;
    if (!same_identity(entry, out.checked))
        find_directory();
    return 0;
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

file_error open_found_output() { return 0; }  // the shell's open was the look-up

bool output_exists() { return out.existing >= 0; }

bool output_is_regular() { return S_ISREG(out.checked.st_mode); }

// Held by flock or by a POSIX record lock; not waited for.
file_error lock_output()
{
    struct flock whole { };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (flock(out.existing, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? OUTPUT_IN_USE : errno;
    if (fcntl(out.existing, F_OFD_GETLK, &whole) != 0)
        return errno;
    return whole.l_type == F_UNLCK ? 0 : OUTPUT_IN_USE;
}

// In a directory that holds it, lets it be renamed over and is on its file system.
bool output_replaceable()
{
    struct statx directory { }, mount { };
    if (out.directory < 0 || out.checked.st_nlink > 1 || append_only()
        || statx(out.directory, "", AT_EMPTY_PATH, 0, &directory) != 0)
        return false;
    return makedev(directory.stx_dev_major, directory.stx_dev_minor) == out.checked.st_dev
        && !(statx(out.directory, out.name, AT_SYMLINK_NOFOLLOW, 0, &mount) == 0
             && (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT));
}

// Its room is checked, not reserved, which would cost more than the rest of a run.
// Where the directory takes no new file or its longer name does not fit, OUT is
// written in place. Mode 0666: an unnamed file is seen by no one.
file_error make_new_file()
{
    out.replacement = openat(out.directory, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    out.unnamed = out.replacement >= 0;
    if (out.replacement < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        if (append_only())
            return output_exists() ? WRITE_IN_PLACE : EPERM;  // a name made there could never be removed
        hold_signals();
        if (name_new_file([](const char* name) {
                out.replacement
                    = openat(out.directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
                return out.replacement >= 0;
            }))
            remove_on_signal(out.directory, out.temporary, &out.made);
        release_signals();
    }
    file_error error = out.replacement < 0 ? errno : room_on_volume(out.replacement, room_for_dump()) ? 0 : errno;
    if (error)
        drop_new_file();
    bool refused = error == EACCES || error == EPERM || error == ENAMETOOLONG;
    return output_exists() && refused ? WRITE_IN_PLACE : error;
}

// Or the volume's free space checked, where the file system cannot reserve.
file_error reserve_room()
{
    off_t room = room_for_dump();
    if (room == 0 || fallocate(out.existing, FALLOC_FL_KEEP_SIZE, 0, room) == 0
        || ((errno == EOPNOTSUPP || errno == ENOSYS) && room_on_volume(out.existing, room)))
        return 0;
    return errno;
}

std::uintmax_t output_size_limit()
{
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : UINTMAX_MAX;
}

// Owner first, as changing it drops the set-id bits that the mode then sets again;
// the write that follows drops them as a write in place would. OUT is asked afresh:
// FUSE and network file systems may otherwise answer from what they cached.
file_error carry_over()
{
    if (!output_exists()) {  // a named new file is readable only once complete
        mode_t mask = umask(0);
        umask(mask);
        if (!out.unnamed && !inherit_default_acl())
            fchmod(out.replacement, 0666 & ~mask);
        return 0;
    }
    struct statx now;
    if (statx(out.existing, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &now) != 0)
        return errno;
    if (now.stx_nlink == 0 || !holds(out.name, out.checked))
        return OUTPUT_IN_USE;  // removed or replaced by another program during the run
    bool carried = now.stx_nlink == 1 && fchown(out.replacement, now.stx_uid, now.stx_gid) == 0
        && fchmod(out.replacement, now.stx_mode & 07777) == 0 && carry_extended_attributes() && carry_flags();
    return carried ? 0 : WRITE_IN_PLACE;
}

file_error write_dump(output_target target, const dump_text& dump)
{
    int fd = target == output_target::output ? out.existing : out.replacement;
    for (std::size_t done = 0; done < dump.length;) {
        ssize_t written = write(fd, dump.bytes + done, dump.length - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

// EINVAL: a file that keeps nothing to flush (/proc).
file_error flush(output_target target)
{
    int fd = target == output_target::output ? out.existing : out.replacement;
    return fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

file_error cut_output(std::uintmax_t length)
{
    return ftruncate(out.existing, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

// An unnamed file over OUT is named first, with signals held: only SIGKILL can
// leave that name behind.
file_error put_in_place()
{
    if (!output_exists()) {
        if (out.unnamed ? !link_unnamed(out.name) : !move_to_free_name())
            return errno == EEXIST ? OUTPUT_IN_USE : errno;
        forget_temporary_name();
        return 0;
    }
    hold_signals();
    file_error error = !out.unnamed || name_new_file(link_unnamed) ? exchange_with_output() : errno;
    if (error)
        drop_new_file();
    else
        forget_temporary_name();
    release_signals();
    return error;
}

void drop_new_file()
{
    if (out.replacement >= 0)
        close(out.replacement);
    out.replacement = -1;
    hold_signals();
    if (out.temporary[0] && holds(out.temporary, out.made))
        unlinkat(out.directory, out.temporary, 0);
    forget_temporary_name();
    release_signals();
}
