// Swaps the names of two files with the C library's renameat2, as an attacker
// would: exchange_names A B [--until FILE] swaps once, or again and again until
// FILE exists.

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--until") == 0))
        return 2;
    do {
        if (renameat2(AT_FDCWD, argv[1], AT_FDCWD, argv[2], RENAME_EXCHANGE) != 0) {
            std::perror("renameat2");
            return 1;
        }
    } while (argc == 5 && access(argv[4], F_OK) != 0);
    return 0;
}
