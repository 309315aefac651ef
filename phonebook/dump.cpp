#include "phonebook/dump.h"

#include <cstring>

namespace {

// One fgets into a buffer of LINE_SIZE bytes. The last byte is primed so that a
// read which filled the buffer can be told apart even when the line holds a zero
// byte, which hides the real length from strlen.
struct line_read {
    bool got_text;       // fgets returned something
    bool line_continues; // the buffer filled before the line's LF
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
    while (read_piece(buffer, input).line_continues) {
    }
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
    auto slot_end = line.find(' ');
    if (slot_end == line.npos)
        return false;
    auto number_start = line.find_first_not_of(' ', slot_end);
    if (number_start == line.npos)
        return false;
    auto number_end = line.find(' ', number_start);
    if (number_end == line.npos)
        return false;
    auto name_start = line.find_first_not_of(' ', number_end);
    if (name_start == line.npos)
        return false;
    add_entry(table, line.substr(number_start, number_end - number_start), line.substr(name_start));
    return true;
}

bool read_dump(phone_table& table, std::FILE* input)
{
    char buffer[LINE_SIZE];
    for (;;) {
        line_read piece = read_piece(buffer, input);
        if (!piece.got_text)
            break;
        // A zero byte ends the line's text; a piece that starts with one is empty.
        std::string_view line = trim_line_end({buffer, std::strlen(buffer)});
        if (!line.empty())
            parse_dump_line(table, line);
        if (piece.line_continues)
            skip_rest_of_line(buffer, input);
    }
    return !std::ferror(input);
}

bool write_slots(const phone_table& table, std::FILE* output)
{
    for (int slot = 1; slot <= SLOT_COUNT; ++slot) {
        int written;
        if (slot <= table.entry_count) {
            const phone_entry& entry = table.entries[slot - 1];
            written = std::fprintf(output, "%d %s %s\n", slot, entry.number, entry.name);
        } else {
            written = std::fprintf(output, "%d\n", slot);
        }
        if (written < 0)
            return false;
    }
    return std::fflush(output) == 0;
}
