// Finding the output on Linux.
//
// OUT is opened once, as the shell's ">> OUT" opens it, relative to the directory
// that the path names: the kernel follows the links and applies its guards
// (permissions, protected_symlinks, _regular, _fifos) to the very file that the run
// then holds. A name that does not exist yet is not opened at all: the new file is
// made in that directory at the end. Every later step acts on these two handles,
// never on a path again.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

void forget_directory()
{
    if (the_output.directory >= 0)
        close(the_output.directory);
    the_output.directory = -1;
}

// OUT reached through links: the directory in the path that the kernel reports
// for the opened file, if it holds that file. A deleted file, a pipe, a file of
// another mount namespace, or any file where there is no /proc, is held by none.
void find_directory()
{
    forget_directory();
    char resolved[PATH_MAX];
    ssize_t length = readlink(path_of_descriptor(the_output.existing).text, resolved, sizeof resolved - 1);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof resolved) - 1 || resolved[0] != '/')
        return;
    resolved[length] = '\0';
    the_output.directory = open_directory_of(resolved, the_output.name);
    if (the_output.directory >= 0 && !holds(the_output.directory, the_output.name, the_output.checked))
        forget_directory();
}

}  // namespace

bool find_output(const char* path)
{
    the_output = {-1, {}, -1, {}, {}, {}, placement::as_is};
    if (!*path) {
        errno = ENOENT;
        return false;
    }
    the_output.directory = open_directory_of(path, the_output.name);
    if (the_output.directory < 0)
        return false;
    if (!the_output.name[0]) {
        errno = EISDIR;  // "new/" names a directory
        return false;
    }
    struct stat entry;
    if (fstatat(the_output.directory, the_output.name, &entry, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;  // a new OUT
    // No O_TRUNC: nothing changes before the dump is complete. A FIFO waits for its
    // reader here, as it does for the shell.
    the_output.existing
        = openat(the_output.directory, the_output.name, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (the_output.existing < 0 || fstat(the_output.existing, &the_output.checked) != 0)
        return false;
    if (is_closed_standard_stream(the_output.checked)) {
        errno = EBADF;
        return false;
    }
    if (!same_identity(entry, the_output.checked))
        find_directory();
    return true;
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
