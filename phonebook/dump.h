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
    utf16,       // the dump starts with a UTF-16 byte order mark: not a dump this can read
};

// Reads every entry of the dump.
read_result read_dump(phone_table& table, std::FILE* input);

// Writes SLOT_COUNT slot lines; the caller flushes them, so that a buffer larger
// than the longest dump holds it whole until then. Returns false on a write error,
// with errno set.
bool write_slots(const phone_table& table, std::FILE* output);
