#include "phonebook/phonebook.h"

#include <algorithm>
#include <compare>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// A name as a number that orders as strcmp orders names: its 16 bytes, unsigned
// and zero-padded past the terminator, most significant first.
struct name_key {
    std::uint64_t high, low;
    friend auto operator<=>(const name_key&, const name_key&) = default;
};

name_key key_of(const char (&name)[NAME_LEN + 1])
{
    unsigned char bytes[NAME_LEN] = {};
    for (int i = 0; i < NAME_LEN && name[i]; ++i)
        bytes[i] = static_cast<unsigned char>(name[i]);
    name_key key = {0, 0};
    for (int i = 0; i < 8; ++i) {
        key.high = key.high << 8 | bytes[i];
        key.low = key.low << 8 | bytes[i + 8];
    }
    return key;
}

// The sort's scratch space, static like the table and kept small: every page it
// touches costs a start-up of the program as much as a thousand comparisons.
name_key keys[MAX_ENTRIES];          // the names of the table, as keys
std::uint16_t by_name[MAX_ENTRIES];  // table positions in name order
std::uint32_t order[MAX_ENTRIES];    // rank << 16 | table position, in exchange order

template <std::size_t Size> void store_field(char (&field)[Size], std::string_view text)
{
    std::size_t length = std::min(text.size(), Size - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

}  // namespace

bool add_entry(phone_table& table, std::string_view number, std::string_view name)
{
    ++table.entries_found;
    if (table.entry_count >= MAX_ENTRIES)
        return false;
    phone_entry& entry = table.entries[table.entry_count];
    table.numbers_cut += number.size() > NUMBER_LEN;
    table.names_cut += name.size() > NAME_LEN;
    store_field(entry.number, number);
    store_field(entry.name, name);
    ++table.entry_count;
    return true;
}

// The exchange sort compares names 130,816 times on a full table and moves whole
// entries. Its order depends only on how the names compare, so it runs here on
// small integers that compare the same way: each name's rank among the distinct
// names. The entries then move once, to where the exchange steps took them.
void sort_by_name(phone_table& table)
{
    int count = table.entry_count;
    for (int i = 0; i < count; ++i) {
        keys[i] = key_of(table.entries[i].name);
        by_name[i] = static_cast<std::uint16_t>(i);
    }
    std::sort(by_name, by_name + count, [](std::uint16_t a, std::uint16_t b) { return keys[a] < keys[b]; });

    // Rank in the high half, table position in the low half: comparing with a
    // rank's lowest value asks only "is this name below?".
    std::uint32_t rank = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && keys[by_name[i - 1]] < keys[by_name[i]])
            ++rank;
        order[by_name[i]] = rank << 16 | by_name[i];
    }

    // The exchange steps: position i keeps the entry it holds while j runs, and an
    // entry with a lower name takes its place and leaves it at j.
    for (int i = 0; i < count; ++i) {
        std::uint32_t held = order[i];
        std::uint32_t below = held & 0xFFFF0000u;
        for (int j = i + 1; j < count; ++j) {
            if (order[j] < below) {
                std::swap(order[j], held);
                below = held & 0xFFFF0000u;
            }
        }
        order[i] = held;
    }

    // Each entry moves once, along the cycles of the permutation; a position is
    // marked done by pointing it at itself.
    for (int start = 0; start < count; ++start) {
        int from = order[start] & 0xFFFF;
        if (from == start)
            continue;
        phone_entry first = table.entries[start];
        int to = start;
        while (from != start) {
            table.entries[to] = table.entries[from];
            order[to] = static_cast<std::uint32_t>(to);
            to = from;
            from = order[from] & 0xFFFF;
        }
        table.entries[to] = first;
        order[to] = static_cast<std::uint32_t>(to);
    }
}
