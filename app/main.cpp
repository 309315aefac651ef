// larkbook: sorts a phonebook dump by name into 100 numbered slots.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/files.h"
#include "phonebook/dump.h"
#include "phonebook/phonebook.h"

namespace {

constexpr int STATUS_USAGE = 1;
constexpr int STATUS_FILE_ERROR = -2;

phone_table table;  // the one table of the run; static, so all zero at start
dump_text dump;     // the table as slot lines, formed before the output is touched

// A larger input buffer than stdio's default: fewer reads on long dumps. The console
// texts are flushed where they must be seen; a buffer of our own spares stdio's
// questions about the stream.
char input_buffer[1 << 16];
char output_buffer[1 << 12];

[[noreturn]] void usage(const char* program_name)
{
    print_message(stdout,
                  "larkbook v.0.1 - written by the larkbook developers\n"
                  "                Free software under the MIT License, see " LARKBOOK_LICENSE_FILE "\n"
                  "                Sort textual phonebook dump made with cellpad(x)\n"
                  "Usage: %s <in-file> <out-file>\n",
                  program_name);
    explain_own_console();
    std::exit(STATUS_USAGE);
}

// The system's reason, or ours where another program holds the output.
int report(const char* message, file_error error)
{
    if (error == OUTPUT_IN_USE)
        std::fprintf(stderr, "%s: another program is using it; close it there and run again\n", message);
    else
        print_error(message, error);
    return STATUS_FILE_ERROR;
}

// Drops the output, so the output path keeps what it held, and ends the progress
// line, so the message that follows stands on a line of its own.
void abandon_run()
{
    discard_output();
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int fail_run(const char* message, file_error error)
{
    abandon_run();
    return report(message, error);
}

// Refuses an output that would destroy the input or mix the dump into the console
// texts; true if it did.
bool refuse_clashing_output(const run_paths& paths)
{
    if (output_is_input())
        print_message(stderr, "Unable to open output file: '%s' and '%s' are the same file\n", paths.input,
                      paths.output);
    else if (const char* stream = output_standard_stream())
        print_message(stderr, "Unable to open output file: '%s' is also %s\n", paths.output, stream);
    else
        return false;
    return true;
}

// A refusal of what was read: OUT is not touched.
int refuse_input(const char* reason, long long line = 0)
{
    abandon_run();
    print_message(stderr, reason, line);
    return STATUS_FILE_ERROR;
}

// Says what the output lacks and what of the input it does not hold, a line each.
// Past a full table the output holds the first names of the entries read first, not
// of all: say so. Returns false if a warning could not be shown.
bool warn_of_what_was_dropped(const phone_table& table, const dump_lines& lines, const char* output)
{
    bool shown = true;
    auto warn = [&shown](const char* format, auto... values) {
        shown = print_message(stderr, format, values...) && shown;
    };
    if (lines.skipped == 1)
        warn("Warning: 1 line is neither an entry nor an empty slot and was skipped: line %lld\n", lines.first_skipped);
    else if (lines.skipped > 1)
        warn("Warning: %lld lines are neither an entry nor an empty slot and were skipped, the first is line %lld\n",
             lines.skipped, lines.first_skipped);
    if (table.names_cut > 0)
        warn("Warning: %lld %s cut to %d bytes\n", table.names_cut, table.names_cut == 1 ? "name was" : "names were",
             NAME_LEN);
    if (table.numbers_cut > 0)
        warn("Warning: %lld %s cut to %d bytes\n", table.numbers_cut,
             table.numbers_cut == 1 ? "number was" : "numbers were", NUMBER_LEN);
    if (table.entries_found == 0)
        warn("Warning: the input holds no entry; '%s' now holds %d empty slots\n", output, SLOT_COUNT);
    long long unwritten = table.entries_found - SLOT_COUNT;
    if (table.entries_found > MAX_ENTRIES)
        warn("Warning: %lld entries found, but only the first %d read were sorted; %lld entries were not written\n",
             table.entries_found, MAX_ENTRIES, unwritten);
    else if (unwritten == 1)
        warn("Warning: 1 entry did not fit into the %d slots and was not written\n", SLOT_COUNT);
    else if (unwritten > 1)
        warn("Warning: %lld entries did not fit into the %d slots and were not written\n", unwritten, SLOT_COUNT);
    return shown;
}

// The console texts are part of the result; a run that could not show them failed.
int finish_console()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return report("Unable to write standard output", errno);
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    keep_own_console_open();
    run_paths paths = command_line_paths(argc, argv);
    if (argc != 3)
        usage(paths.program);
    if (file_error error = prepare_process())
        return report("Unable to open input file", error);

    std::FILE* input = open_input(paths.input_path);
    if (!input)
        return report("Unable to open input file", errno);
    if (const char* stream = input_standard_stream()) {  // the shell emptied it for "> IN"
        print_message(stderr, "Unable to open input file: '%s' is also %s\n", paths.input, stream);
        return STATUS_FILE_ERROR;
    }
    if (file_error error = find_output(paths.output_path))
        return report("Unable to open output file", error);
    if (refuse_clashing_output(paths))
        return STATUS_FILE_ERROR;
    if (file_error error = open_output()) {
        discard_output();
        return report("Unable to open output file", error);
    }

    std::setvbuf(input, input_buffer, _IOFBF, sizeof input_buffer);
    std::printf("Reading..");
    std::fflush(stdout);
    wait_for_input(input);
    dump_lines lines;
    switch (read_dump(table, input, lines)) {
    case read_result::read_error:
        return fail_run("Unable to read input file", errno);
    case read_result::utf16:
        return refuse_input("Unable to read input file: it is UTF-16 text; save the dump as 8-bit text (ANSI or "
                            "UTF-8) and run again\n");
    case read_result::not_a_dump:
        return refuse_input("Unable to read input file: line %lld is not a phonebook entry; larkbook expects a "
                            "slot number, a phone number and a name, separated by spaces\n",
                            lines.first_skipped);
    case read_result::complete:
        break;
    }
    std::printf("found %lld names.\n", table.entries_found);

    std::printf("Sorting..");
    std::fflush(stdout);
    sort_by_name(table);
    std::printf("done.\n");

    std::printf("Writing..");
    write_slots(table, dump);
    std::fclose(input);
    if (file_error error = commit_output(dump))
        return fail_run("Unable to write output file", error);
    std::printf("done.\n");

    bool warned = warn_of_what_was_dropped(table, lines, paths.output);
    int status = finish_console();
    return warned ? status : STATUS_FILE_ERROR;
}
