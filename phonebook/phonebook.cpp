#include "phonebook/phonebook.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

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
    store_field(entry.number, number);
    store_field(entry.name, name);
    ++table.entry_count;
    return true;
}

void sort_by_name(phone_table& table)
{
    for (int i = 0; i < table.entry_count; ++i)
        for (int j = i + 1; j < table.entry_count; ++j)
            if (std::strcmp(table.entries[j].name, table.entries[i].name) < 0)
                std::swap(table.entries[i], table.entries[j]);
}
