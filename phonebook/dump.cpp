#include "phonebook/dump.h"

#include <charconv>
#include <cstring>

namespace {

// One fgets into a buffer of LINE_SIZE bytes. The last byte is primed so that a
// read which filled the buffer can be told apart even when the line holds a zero
// byte, which hides the real length from strlen.
struct line_read {
    bool got_text;        // fgets returned something
    bool line_continues;  // the buffer filled before the line's LF
};

line_read read_piece(char (&buffer)[LINE_SIZE], std::FILE* input)
{
    buffer[LINE_SIZE - 1] = '\1';
    if (!std::fgets(buffer, LINE_SIZE, input))
        return {false, false};
    bool filled = buffer[LINE_SIZE - 1] == '\0';
    return {true, filled && buffer[LINE_SIZE - 2] != '\n'};
}

// Skips what is left of an over-long line, up to and including its LF, so that
// its tail is never taken for a line of its own.
void skip_rest_of_line(char (&buffer)[LINE_SIZE], std::FILE* input)
{
    while (read_piece(buffer, input).line_continues) { }
}

// These run for every line of a dump, so they are kept cheap: memchr beats
// string_view::find here, and find_first_not_of would search a set per character.
std::size_t find_space(std::string_view line, std::size_t from)
{
    if (from >= line.size())
        return line.npos;
    const void* space = std::memchr(line.data() + from, ' ', line.size() - from);
    return space ? static_cast<std::size_t>(static_cast<const char*>(space) - line.data()) : line.npos;
}

std::size_t skip_spaces(std::string_view line, std::size_t at)
{
    while (at < line.size() && line[at] == ' ')
        ++at;
    return at;
}

// Where the number starts: past the slot and the spaces after it. The end of the
// line when there is none. Slots are short, so a plain loop beats a call to memchr.
std::size_t find_number_start(std::string_view line)
{
    std::size_t slot_end = 0;
    while (slot_end < line.size() && line[slot_end] != ' ')
        ++slot_end;
    return skip_spaces(line, slot_end);
}

// A UTF-16 dump would read as a few lines of noise and give an empty phonebook. One
// without a byte order mark starts with an ASCII character and a zero byte, in
// either order; a zero byte alone (a sparse file) is no sign of it, nor is the zero
// that ends a piece of one character or an empty line.
bool starts_as_utf16(const char* piece, bool one_character)
{
    auto ascii = [](char c) { return c != 0 && static_cast<unsigned char>(c) < 0x80; };
    return (piece[0] == '\xFF' && piece[1] == '\xFE') || (piece[0] == '\xFE' && piece[1] == '\xFF')
        || (ascii(piece[0]) && piece[0] != '\n' && piece[1] == '\0' && !one_character)
        || (piece[0] == '\0' && ascii(piece[1]));
}

// A line of spaces and line ends, or empty (it began with a zero byte).
bool is_blank(std::string_view line) { return line.find_first_not_of(" \r\n") == line.npos; }

// A slot number alone, as the output of a run has it for an empty slot.
bool is_empty_slot(std::string_view line)
{
    std::size_t start = skip_spaces(line, 0);
    return start < line.size() && line.find_first_not_of("0123456789", start) == line.npos;
}

}  // namespace

std::string_view trim_line_end(std::string_view piece)
{
    while (piece.size() > 1) {
        char last = piece.back();
        if (last != '\n' && last != '\r' && last != ' ')
            break;
        piece.remove_suffix(1);
    }
    return piece;
}

bool parse_dump_line(phone_table& table, std::string_view line)
{
    std::size_t number_start = find_number_start(line);
    std::size_t number_end = find_space(line, number_start);
    if (number_end == line.npos)
        return false;
    std::size_t name_start = skip_spaces(line, number_end);
    if (name_start == line.size())
        return false;
    add_entry(table, line.substr(number_start, number_end - number_start), line.substr(name_start));
    return true;
}

bool holds_entry(std::string_view line)
{
    // A trimmed line longer than one character ends with a non-space, so a space
    // after the start of the number always has a name after it.
    return find_space(line, find_number_start(line)) != line.npos;
}

read_result read_dump(phone_table& table, std::FILE* input, dump_lines& lines)
{
    char buffer[LINE_SIZE];
    lines = {0, 0, 0};
    buffer[2] = '\1';  // left so by a read that ends the input after one character
    for (long long number = 1;; ++number) {
        line_read piece = read_piece(buffer, input);
        if (!piece.got_text)
            break;
        if (number == 1 && starts_as_utf16(buffer, std::feof(input) && buffer[2] == '\1'))
            return read_result::utf16;
        // A zero byte ends the line's text.
        std::string_view line = trim_line_end({buffer, std::strlen(buffer)});
        bool entry = false;
        if (table.entry_count < MAX_ENTRIES)
            entry = parse_dump_line(table, line);
        else if ((entry = holds_entry(line)))
            ++table.entries_found;  // no room left: counted, not taken apart
        if (!entry && is_empty_slot(line))
            ++lines.empty_slots;
        else if (!entry && !is_blank(line) && lines.skipped++ == 0)
            lines.first_skipped = number;
        if (piece.line_continues)
            skip_rest_of_line(buffer, input);
    }
    if (std::ferror(input))
        return read_result::read_error;
    bool nothing_of_a_dump = table.entries_found == 0 && lines.empty_slots == 0;
    return lines.skipped > 0 && nothing_of_a_dump ? read_result::not_a_dump : read_result::complete;
}

void write_slots(const phone_table& table, dump_text& dump)
{
    char* at = dump.bytes;
    auto append = [&at](const char* text) {
        std::size_t length = std::strlen(text);
        std::memcpy(at, text, length);
        at += length;
    };
    for (int slot = 1; slot <= SLOT_COUNT; ++slot) {
        at = std::to_chars(at, at + 3, slot).ptr;
        if (slot <= table.entry_count) {
            const phone_entry& entry = table.entries[slot - 1];
            append(" ");
            append(entry.number);
            append(" ");
            append(entry.name);
        }
        append(DUMP_LINE_END);
    }
    dump.length = static_cast<std::size_t>(at - dump.bytes);
}
