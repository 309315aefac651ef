#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "phonebook/phonebook.h"
#include "reference_sort.h"

namespace {

using entry_list = std::vector<std::pair<std::string, std::string>>;  // name, number

std::unique_ptr<phone_table> table_of(const entry_list& list)
{
    auto table = std::make_unique<phone_table>();
    for (const auto& [name, number] : list)
        add_entry(*table, number, name);
    return table;
}

entry_list contents(const phone_table& table)
{
    entry_list list;
    for (int i = 0; i < table.entry_count; ++i)
        list.emplace_back(table.entries[i].name, table.entries[i].number);
    return list;
}

struct sort_case {
    const char* what;
    entry_list before;
    entry_list after;
};

void PrintTo(const sort_case& c, std::ostream* os) { *os << c.what; }

class SortByName : public testing::TestWithParam<sort_case> { };

TEST_P(SortByName, GivesTheExchangeOrder)
{
    auto table = table_of(GetParam().before);
    sort_by_name(*table);
    EXPECT_EQ(contents(*table), GetParam().after);
}

const sort_case sort_cases[] = {
    {"empty", {}, {}},
    {"single", {{"Bob", "1"}}, {{"Bob", "1"}}},
    {"upper before lower", {{"adam", "1"}, {"Zoe", "2"}, {"Bob", "3"}}, {{"Bob", "3"}, {"Zoe", "2"}, {"adam", "1"}}},
    {"prefix first", {{"Anna", "1"}, {"Ann", "2"}}, {{"Ann", "2"}, {"Anna", "1"}}},
    {"the 16th byte counts",
     {{"123456789abcdefZ", "1"}, {"123456789abcdefA", "2"}},
     {{"123456789abcdefA", "2"}, {"123456789abcdefZ", "1"}}},
    {"space below letters", {{"Alan", "1"}, {"Al Jones", "2"}}, {{"Al Jones", "2"}, {"Alan", "1"}}},
    {"bytes above 127 last",
     {{"\xC4nne", "1"}, {"zed", "2"}, {"Zed", "3"}, {"~", "4"}},
     {{"Zed", "3"}, {"zed", "2"}, {"~", "4"}, {"\xC4nne", "1"}}},
    {"tie reversed by a later exchange",
     {{"Bob", "first"}, {"Bob", "second"}, {"Al", "3"}},
     {{"Al", "3"}, {"Bob", "second"}, {"Bob", "first"}}},
    {"tie kept", {{"Bob", "1"}, {"Al", "first"}, {"Al", "second"}}, {{"Al", "first"}, {"Al", "second"}, {"Bob", "1"}}},
    {"first of three ties moves last",
     {{"B", "1"}, {"B", "2"}, {"B", "3"}, {"A", "4"}},
     {{"A", "4"}, {"B", "2"}, {"B", "3"}, {"B", "1"}}},
    {"already sorted",
     {{"Al", "1"}, {"Bob", "2"}, {"Bob", "3"}, {"bob", "4"}},
     {{"Al", "1"}, {"Bob", "2"}, {"Bob", "3"}, {"bob", "4"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SortByName, testing::ValuesIn(sort_cases),
                         [](const auto& info) { return case_name(info.param.what); });

// Many equal names, shared beginnings, spaces, bytes above 127 and names cut at 16:
// every way the order of the exchange steps can be got wrong.
TEST(SortByName, GivesExactlyTheOrderOfTheExchangeSteps)
{
    std::mt19937 random(20261208);
    const std::string alphabet = "Aa \xC4z~";
    for (int distinct : {1, 2, 3, 10, 60, MAX_ENTRIES}) {
        std::vector<std::string> names(distinct);
        for (std::string& name : names)
            for (std::size_t length = 1 + random() % 18; name.size() < length;)
                name += alphabet[random() % alphabet.size()];
        for (int count : {2, 7, 101, MAX_ENTRIES}) {
            auto table = std::make_unique<phone_table>();
            for (int i = 0; i < count; ++i)
                add_entry(*table, std::to_string(i), names[random() % distinct]);
            auto expected = std::make_unique<phone_table>(*table);
            reference_sort_by_name(*expected);
            sort_by_name(*table);
            EXPECT_EQ(contents(*table), contents(*expected)) << distinct << " names, " << count << " entries";
        }
    }
}

TEST(SortByName, FullReversedTableEndsSortedWithNumbersKept)
{
    auto table = std::make_unique<phone_table>();
    for (int i = MAX_ENTRIES - 1; i >= 0; --i) {
        std::string key = std::to_string(1000 + i);
        add_entry(*table, key, "name " + key);
    }
    sort_by_name(*table);
    ASSERT_EQ(table->entry_count, MAX_ENTRIES);
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        std::string key = std::to_string(1000 + i);
        EXPECT_EQ(table->entries[i].name, "name " + key);
        EXPECT_EQ(table->entries[i].number, key);
    }
}

struct cut_case {
    std::string number, name;
    std::string stored_number, stored_name;
};

void PrintTo(const cut_case& c, std::ostream* os) { *os << c.number << " " << c.name; }

class AddEntry : public testing::TestWithParam<cut_case> { };

TEST_P(AddEntry, CutsFieldsToTheirWidth)
{
    auto table = table_of({{GetParam().name, GetParam().number}});
    ASSERT_EQ(table->entry_count, 1);
    EXPECT_EQ(table->entries[0].number, GetParam().stored_number);
    EXPECT_EQ(table->entries[0].name, GetParam().stored_name);
}

const std::string n16(16, 'n'), n32(32, '5');

const cut_case cut_cases[] = {
    {"1", n16, "1", n16},            // a name of 16 is kept whole
    {"1", n16 + "X", "1", n16},      // one of 17 loses its last
    {n32, "Bob", n32, "Bob"},        // a number of 32 is kept whole
    {n32 + "9", "Bob", n32, "Bob"},  // one of 33 loses its last
    {"", "", "", ""},                // empty pieces give empty fields
};

INSTANTIATE_TEST_SUITE_P(Widths, AddEntry, testing::ValuesIn(cut_cases));

TEST(AddEntry, StoresOnlyThePieceGiven)
{
    auto table = std::make_unique<phone_table>();
    std::string_view line = "555-123 Bob Smith";
    add_entry(*table, line.substr(0, 7), line.substr(8, 3));
    EXPECT_STREQ(table->entries[0].number, "555-123");
    EXPECT_STREQ(table->entries[0].name, "Bob");
}

TEST(AddEntry, CountsButNeverStoresPastCapacity)
{
    auto table = std::make_unique<phone_table>();
    for (int i = 0; i < MAX_ENTRIES; ++i)
        ASSERT_TRUE(add_entry(*table, std::to_string(i), "kept"));
    EXPECT_FALSE(add_entry(*table, "999", "dropped"));
    EXPECT_FALSE(add_entry(*table, "999", "dropped"));
    EXPECT_EQ(table->entry_count, MAX_ENTRIES);
    EXPECT_EQ(table->entries_found, MAX_ENTRIES + 2);
    EXPECT_STREQ(table->entries[MAX_ENTRIES - 1].number, std::to_string(MAX_ENTRIES - 1).c_str());
}

}  // namespace
