// The name sort exactly as its three exchange steps say, slow and plain: the order
// that sort_by_name must give, ties included.
#pragma once

#include <utility>

#include "phonebook/phonebook.h"

// The fuzz targets run the reference on every input. Coverage and address checks
// in it, and libFuzzer's hooks on strcmp, would spend their time on the test's own
// code, so it is left uninstrumented and compares as strcmp is defined: the first
// differing byte, as unsigned char, decides.
#ifdef __clang__
#define REFERENCE_UNINSTRUMENTED __attribute__((no_sanitize("address", "coverage")))
#else
#define REFERENCE_UNINSTRUMENTED
#endif

REFERENCE_UNINSTRUMENTED inline bool name_below(const char* name, const char* other)
{
    while (*name && *name == *other)
        ++name, ++other;
    return static_cast<unsigned char>(*name) < static_cast<unsigned char>(*other);
}

REFERENCE_UNINSTRUMENTED inline void reference_sort_by_name(phone_table& table)
{
    for (int i = 0; i < table.entry_count; ++i)
        for (int j = i + 1; j < table.entry_count; ++j)
            if (name_below(table.entries[j].name, table.entries[i].name))
                std::swap(table.entries[i], table.entries[j]);
}
