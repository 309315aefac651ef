// Checks shared by the fuzz targets. A broken invariant aborts, which libFuzzer
// reports with the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "phonebook/phonebook.h"
#include "tests/reference_sort.h"

inline void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// sort_by_name must give exactly the order of the plain exchange steps, every
// number still with its name.
inline void check_exchange_order(phone_table& unsorted)
{
    static phone_table expected;
    expected = unsorted;
    reference_sort_by_name(expected);
    sort_by_name(unsorted);
    for (int i = 0; i < unsorted.entry_count; ++i)
        require(std::strcmp(unsorted.entries[i].name, expected.entries[i].name) == 0
                    && std::strcmp(unsorted.entries[i].number, expected.entries[i].number) == 0,
                "the exchange steps' order, ties included");
}
