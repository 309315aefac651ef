// The entry table of one run and its name sort.
#pragma once

#include <string_view>

inline constexpr int MAX_ENTRIES = 512;  // capacity of the entry table
inline constexpr int SLOT_COUNT = 100;   // slot lines in every output dump
inline constexpr int NAME_LEN = 16;      // longest name kept
inline constexpr int NUMBER_LEN = 32;    // longest number kept
inline constexpr int LINE_SIZE = 1024;   // line buffer; one read takes at most 1023 characters

struct phone_entry {
    char name[NAME_LEN + 1];
    char number[NUMBER_LEN + 1];
};

struct phone_table {
    phone_entry entries[MAX_ENTRIES];
    int entry_count;          // entries stored, never more than MAX_ENTRIES
    long long entries_found;  // entries read, including those the table had no room for
    long long names_cut;      // entries stored whose name was longer than NAME_LEN
    long long numbers_cut;    // entries stored whose number was longer than NUMBER_LEN
};

// Counts the entry and stores it, number and name cut to their widths (and those
// cuts counted), when the table has room. Returns whether it was stored.
bool add_entry(phone_table& table, std::string_view number, std::string_view name);

// Exchange sort by name in strcmp order. The exact exchange order matters: equal
// names can end up reversed, and callers rely on that order being reproducible.
void sort_by_name(phone_table& table);
