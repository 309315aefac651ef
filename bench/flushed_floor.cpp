// The least a safe sort must do, as the floor larkbook is measured against: read
// every line of IN, write 100 lines over OUT from its first byte, cut it to their
// length and flush it to the disk. It sorts nothing and checks nothing.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 1;
    std::FILE* input = std::fopen(argv[1], "r");
    if (!input)
        return 2;
    char line[1024];
    std::string dump;
    for (int lines = 0; std::fgets(line, sizeof line, input);)
        if (lines++ < 100)
            dump += line;
    std::fclose(input);
    int fd = open(argv[2], O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    bool written = fd >= 0 && pwrite(fd, dump.data(), dump.size(), 0) == static_cast<ssize_t>(dump.size())
        && ftruncate(fd, static_cast<off_t>(dump.size())) == 0 && fsync(fd) == 0 && close(fd) == 0;
    return written ? 0 : 3;
}
