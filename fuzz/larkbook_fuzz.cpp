// Feeds arbitrary bytes as a dump through the reader, the sort and the writer over
// real streams, and checks what must hold for every input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_checks.h"
#include "phonebook/dump.h"

namespace {

phone_table table, reread, counted;
dump_lines lines;

std::FILE* input_stream(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return std::tmpfile();  // fmemopen refuses an empty buffer
    return fmemopen(const_cast<std::uint8_t*>(data), size, "r");
}

dump_text formed;

std::string written_dump(const phone_table& sorted)
{
    write_slots(sorted, formed);
    require(formed.length <= sizeof formed.bytes, "the dump fits its buffer");
    return std::string(formed.bytes, formed.length);
}

// Each of the 100 lines is slot k, alone or followed by the k-th entry.
void check_slot_lines(std::string_view dump, const phone_table& sorted)
{
    for (int slot = 1; slot <= SLOT_COUNT; ++slot) {
        auto end = dump.find('\n');
        require(end != dump.npos, "100 lines, each ended");
        std::string_view line = dump.substr(0, end);
        dump.remove_prefix(end + 1);
        std::string expected = std::to_string(slot);
        if (slot <= sorted.entry_count) {
            const phone_entry& entry = sorted.entries[slot - 1];
            require(entry.number[0] && !std::strchr(entry.number, ' '), "number is one word");
            require(entry.name[0] && entry.name[0] != ' ', "name present");
            expected.append(" ").append(entry.number).append(" ").append(entry.name);
        }
        require(line == expected, "slot line holds its slot and entry");
    }
    require(dump.empty(), "nothing after slot 100");
}

bool round_trips(const phone_table& sorted)
{
    if (sorted.entry_count > SLOT_COUNT)
        return false;
    for (int i = 0; i < sorted.entry_count; ++i) {
        std::string_view name = sorted.entries[i].name;
        if (name.back() == ' ' || name.back() == '\r')  // lost to trimming when read back
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    table = {};
    std::FILE* input = input_stream(data, size);
    require(input != nullptr, "input stream");
    require(read_dump(table, input, lines) != read_result::read_error, "memory streams do not fail");
    std::fclose(input);

    require(table.entry_count >= 0 && table.entry_count <= MAX_ENTRIES, "table within capacity");

    // Lines past a full table are only counted; the count must be the same.
    counted = {};
    counted.entry_count = MAX_ENTRIES;
    input = input_stream(data, size);
    require(input != nullptr && read_dump(counted, input, lines) != read_result::read_error, "count-only read");
    std::fclose(input);
    require(counted.entries_found == table.entries_found, "counting agrees with parsing");
    require(table.entry_count == (table.entries_found < MAX_ENTRIES ? table.entries_found : MAX_ENTRIES),
            "every entry stored while there is room");

    check_exchange_order(table);
    for (int i = 1; i < table.entry_count; ++i)
        require(std::strcmp(table.entries[i - 1].name, table.entries[i].name) <= 0, "names in byte order");

    std::string dump = written_dump(table);
    check_slot_lines(dump, table);

    if (round_trips(table)) {
        reread = {};
        std::FILE* again = fmemopen(dump.data(), dump.size(), "r");
        require(again != nullptr, "reread stream");
        require(read_dump(reread, again, lines) == read_result::complete, "reread");
        std::fclose(again);
        require(reread.entry_count == table.entry_count, "reread finds every entry");
        for (int i = 0; i < table.entry_count; ++i)
            require(std::strcmp(reread.entries[i].name, table.entries[i].name) == 0
                        && std::strcmp(reread.entries[i].number, table.entries[i].number) == 0,
                    "reread gives the same entries in the same order");
    }
    return 0;
}
