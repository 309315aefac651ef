// larkbook: sorts a phonebook dump by name into 100 numbered slots.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/paths.h"
#include "phonebook/dump.h"
#include "phonebook/phonebook.h"

namespace {

constexpr int STATUS_USAGE = 1;
constexpr int STATUS_FILE_ERROR = -2;

phone_table table;  // the one table of the run; static, so all zero at start

// A larger input buffer than stdio's default: fewer reads on long dumps.
char input_buffer[1 << 16];

[[noreturn]] void usage(const char* program_name)
{
    std::printf("larkbook v.0.1 - written by the larkbook developers\n"
                "                Free software under the MIT License, see LICENSE\n"
                "                Sort textual phonebook dump made with cellpad(x)\n"
                "Usage: %s <in-file> <out-file>\n",
                program_name);
    std::exit(STATUS_USAGE);
}

// A directory is refused by name: Linux would open it for reading, and Windows
// would give a reason that does not say what is wrong.
std::FILE* open_file(const char* path, const char* mode)
{
    if (names_directory(path)) {
        errno = EISDIR;
        return nullptr;
    }
    return std::fopen(path, mode);
}

// Ends the progress line first, so the message stands on a line of its own.
int fail_run(const char* message)
{
    int error = errno;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    errno = error;
    std::perror(message);
    return STATUS_FILE_ERROR;
}

void warn_unwritten(const phone_table& written)
{
    long long unwritten = written.entries_found - SLOT_COUNT;
    if (unwritten > 0)
        std::fprintf(stderr, "Warning: %lld entries did not fit into the %d slots and were not written\n", unwritten,
                     SLOT_COUNT);
}

// The console texts are part of the result; a run that could not show them failed.
int finish_console()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::perror("Unable to write standard output");
        return STATUS_FILE_ERROR;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3)
        usage(argc > 0 && argv[0] ? argv[0] : "larkbook");
    const char* input_path = argv[1];
    const char* output_path = argv[2];

    std::FILE* input = open_file(input_path, "r");
    if (!input) {
        std::perror("Unable to open input file");
        return STATUS_FILE_ERROR;
    }
    if (names_same_regular_file(input_path, output_path)) {
        std::fprintf(stderr, "Unable to open output file: '%s' and '%s' are the same file\n", input_path, output_path);
        return STATUS_FILE_ERROR;
    }
    std::FILE* output = open_file(output_path, "w");
    if (!output) {
        std::perror("Unable to open output file");
        return STATUS_FILE_ERROR;
    }

    std::setvbuf(input, input_buffer, _IOFBF, sizeof input_buffer);
    std::printf("Reading..");
    std::fflush(stdout);
    if (!read_dump(table, input))
        return fail_run("Unable to read input file");
    std::printf("found %lld names.\n", table.entries_found);

    std::printf("Sorting..");
    std::fflush(stdout);
    sort_by_name(table);
    std::printf("done.\n");

    std::printf("Writing..");
    if (!write_slots(table, output))
        return fail_run("Unable to write output file");
    std::fclose(input);
    if (std::fclose(output) != 0)
        return fail_run("Unable to write output file");
    std::printf("done.\n");

    warn_unwritten(table);
    return finish_console();
}
