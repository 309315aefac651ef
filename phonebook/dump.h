// Reading a phonebook dump into the entry table and writing the table as slots.
//
// A dump line is "slot number name": the slot is ignored, the number is one word,
// the name is the rest of the line. Only the space separates fields.
#pragma once

#include <cstdio>
#include <string_view>

#include "phonebook/phonebook.h"

// Drops trailing LF, CR and spaces; the first character always stays.
std::string_view trim_line_end(std::string_view piece);

// Adds the entry a trimmed line holds, if it holds one. Returns whether it did.
bool parse_dump_line(phone_table& table, std::string_view line);

// Whether parse_dump_line would find an entry in a trimmed line; cheaper, for
// counting the lines that no longer fit into the table.
bool holds_entry(std::string_view line);

enum class read_result {
    complete,
    read_error,  // errno tells why
    utf16,       // UTF-16 text, with or without a byte order mark: not a dump this can read
    not_a_dump,  // text in which no line is an entry or an empty slot
};

// The lines of a dump that are no entry: those that hold text but are neither an
// entry nor an empty slot (a slot number alone) are skipped, and said.
struct dump_lines {
    long long skipped;
    long long first_skipped;  // its line number, from 1
    long long empty_slots;
};

// Reads every entry of the dump.
read_result read_dump(phone_table& table, std::FILE* input, dump_lines& lines);

// The line end of a dump, as the platform's text files have it.
#ifdef _WIN32
inline constexpr char DUMP_LINE_END[] = "\r\n";
#else
inline constexpr char DUMP_LINE_END[] = "\n";
#endif

// The longest dump: 100 lines of a three-digit slot, number, name, two spaces and
// a CR LF.
inline constexpr int LONGEST_DUMP = SLOT_COUNT * (3 + 1 + NUMBER_LEN + 1 + NAME_LEN + 2);

// A whole dump in memory, so that it reaches the output in one write.
struct dump_text {
    char bytes[LONGEST_DUMP];
    std::size_t length;
};

// Forms the SLOT_COUNT slot lines of the table.
void write_slots(const phone_table& table, dump_text& dump);
