// The command line, the console and the input on POSIX systems.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

#include "app/files.h"
#include "app/process_posix.h"

run_paths command_line_paths(int argc, char* argv[])
{
    const char* program = argc > 0 && argv[0] ? argv[0] : "larkbook";
    if (argc != 3)
        return {program, nullptr, nullptr, nullptr, nullptr};
    return {program, argv[1], argv[2], argv[1], argv[2]};
}

bool print_message(std::FILE* stream, const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    int written = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    return written >= 0 && std::fflush(stream) == 0;
}

void print_error(const char* message, file_error error)
{
    errno = error;
    std::perror(message);
}

namespace {

struct stat input_file;

}  // namespace

std::FILE* open_input(const char* path)
{
    // Without O_NONBLOCK a FIFO would block here, before the same-file check.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat& file = input_file;
    bool is_file = fstat(fd, &file) == 0;
    if (!is_file || S_ISDIR(file.st_mode) || is_closed_standard_stream(file)) {
        int error = !is_file ? errno : S_ISDIR(file.st_mode) ? EISDIR : EBADF;
        close(fd);
        errno = error;
        return nullptr;
    }
    if (!S_ISREG(file.st_mode))
        fcntl(fd, F_SETFL, 0);  // reads wait again, as they do on what the shell opens
    std::FILE* stream = fdopen(fd, "r");
    if (!stream)
        close(fd);
    return stream;
}

const struct stat& input_identity() { return input_file; }

const char* input_standard_stream() { return standard_stream_holding(input_file); }

// The streams are asked once: the input and the output are compared with them.
const char* standard_stream_holding(const struct stat& file)
{
    static struct stat streams[2];
    static bool asked[2] = {fstat(STDOUT_FILENO, &streams[0]) == 0, fstat(STDERR_FILENO, &streams[1]) == 0};
    if (S_ISCHR(file.st_mode))
        return nullptr;
    if (asked[0] && same_identity(file, streams[0]))
        return "standard output";
    if (asked[1] && same_identity(file, streams[1]))
        return "standard error";
    return nullptr;
}

void wait_for_input(std::FILE* input)
{
    if (!S_ISFIFO(input_file.st_mode))
        return;
    // A FIFO opened before its writer reads as empty; poll waits until a writer
    // has written something or has come and gone.
    pollfd wait = {fileno(input), POLLIN, 0};
    while (poll(&wait, 1, -1) < 0 && errno == EINTR) { }
}
