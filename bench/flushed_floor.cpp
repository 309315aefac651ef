// The least a safe sort must do, as the floor larkbook is measured against: read
// every line of IN, write 100 lines to a new file beside OUT, flush it to the disk
// and rename it over OUT. It sorts nothing and checks nothing.

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
    std::string temporary = std::string(argv[2]) + ".floor";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool placed = fd >= 0 && write(fd, dump.data(), dump.size()) == static_cast<ssize_t>(dump.size())
        && fsync(fd) == 0 && close(fd) == 0 && rename(temporary.c_str(), argv[2]) == 0;
    return placed ? 0 : 3;
}
