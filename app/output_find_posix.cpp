// Finding the output on Linux.
//
// OUT is opened as the kernel resolves it, so that its guards for links and sticky
// directories hold as they hold for the shell's redirection. Then the directory
// that holds the opened file is opened, once, and checked to hold it; every later
// step acts on those two handles, never on a path again.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/files.h"
#include "app/output_posix.h"
#include "app/process_posix.h"

output_file the_output;

descriptor_path path_of_descriptor(int fd)
{
    descriptor_path path;
    std::snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
    return path;
}

bool holds(int directory, const char* name, const struct stat& file)
{
    struct stat entry;
    return fstatat(directory, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && same_identity(entry, file);
}

namespace {

void forget_directory()
{
    if (the_output.directory >= 0)
        close(the_output.directory);
    the_output.directory = -1;
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

// Opens the directory part of path, if it holds the file that was checked under
// the last name of path.
bool directory_holds_file(const char* path)
{
    the_output.directory = open_directory_of(path, the_output.name);
    if (the_output.directory >= 0 && holds(the_output.directory, the_output.name, the_output.checked))
        return true;
    forget_directory();
    return false;
}

// Finds the directory that holds the opened OUT: the path's own directory where
// the path names the file itself, else the one in the path the kernel reports for
// the descriptor (OUT reached through links). A deleted file, a pipe or a file of
// another mount namespace is held by none.
bool find_directory(const char* path, int fd)
{
    if (directory_holds_file(path))
        return true;
    char resolved[PATH_MAX];
    ssize_t length = readlink(path_of_descriptor(fd).text, resolved, sizeof resolved - 1);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof resolved) - 1 || resolved[0] != '/')
        return false;
    resolved[length] = '\0';
    return directory_holds_file(resolved);
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
    the_output.directory = open_directory_of(path, the_output.name);
    if (the_output.directory < 0)
        return false;
    if (!the_output.name[0]) {
        errno = EISDIR;  // "new/" names a directory
        return false;
    }
    struct stat entry;
    if (fstatat(the_output.directory, the_output.name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    the_output.existing
        = openat(the_output.directory, the_output.name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    forget_directory();
    if (the_output.existing < 0 || fstat(the_output.existing, &the_output.checked) != 0)
        return false;
    the_output.made_by_open = S_ISLNK(entry.st_mode);
    find_directory(path, the_output.existing);
    return true;
}

// Opens fd_path for writing, as the shell would, if it is still the file checked.
int reopened(int at, const char* fd_path, int flags)
{
    int fd = openat(at, fd_path, O_WRONLY | O_NOCTTY | O_CLOEXEC | flags);
    struct stat file;
    if (fd >= 0 && (fstat(fd, &file) != 0 || !same_identity(file, the_output.checked))) {
        close(fd);
        errno = EBUSY;  // replaced by another program meanwhile
        return -1;
    }
    return fd;
}

// Checks the file found as the shell's redirection would meet it, and opens it for
// writing: by its one name in the directory that holds it, else through the
// descriptor found (a pipe, a deleted file), else by path where there is no /proc.
int checked_for_writing(int found, const char* path)
{
    struct stat directory;
    if (fstat(found, &the_output.checked) != 0)
        return -1;
    if (S_ISDIR(the_output.checked.st_mode) || is_closed_standard_stream(the_output.checked)) {
        errno = S_ISDIR(the_output.checked.st_mode) ? EISDIR : EBADF;
        return -1;
    }
    if (find_directory(path, found)) {
        if (fstat(the_output.directory, &directory) == 0
            && guarded_in_sticky_directory(directory, the_output.checked)) {
            errno = EACCES;
            return -1;
        }
        return reopened(the_output.directory, the_output.name, O_NOFOLLOW);
    }
    int fd = open(path_of_descriptor(found).text, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    return fd >= 0 || errno != ENOENT ? fd : reopened(AT_FDCWD, path, 0);
}

}  // namespace

bool find_output(const char* path)
{
    the_output = {-1, {}, -1, {}, {}, placement::as_is, false};
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
    the_output.existing = checked_for_writing(found, path);
    close(found);
    return the_output.existing >= 0;
}

bool output_is_input(std::FILE* input)
{
    struct stat file;
    return the_output.existing >= 0 && fstat(fileno(input), &file) == 0 && same_identity(file, the_output.checked);
}

const char* output_standard_stream()
{
    struct stat stream;
    if (the_output.existing < 0 || S_ISCHR(the_output.checked.st_mode))
        return nullptr;
    if (fstat(STDOUT_FILENO, &stream) == 0 && same_identity(the_output.checked, stream))
        return "standard output";
    if (fstat(STDERR_FILENO, &stream) == 0 && same_identity(the_output.checked, stream))
        return "standard error";
    return nullptr;
}
