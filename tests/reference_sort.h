// The name sort exactly as its three exchange steps say, slow and plain: the order
// that sort_by_name must give, ties included.
#pragma once

#include <cstring>
#include <utility>

#include "phonebook/phonebook.h"

inline void reference_sort_by_name(phone_table& table)
{
    for (int i = 0; i < table.entry_count; ++i)
        for (int j = i + 1; j < table.entry_count; ++j)
            if (std::strcmp(table.entries[j].name, table.entries[i].name) < 0)
                std::swap(table.entries[i], table.entries[j]);
}
