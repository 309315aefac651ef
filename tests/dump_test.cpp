#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "case_name.h"
#include "phonebook/dump.h"

namespace {

struct line_case {
    std::string line;  // as it stands in the dump, line end included
    bool yields_entry;
    std::string number, name;
};

void PrintTo(const line_case& c, std::ostream* os) { *os << testing::PrintToString(c.line); }

class ParseDumpLine : public testing::TestWithParam<line_case> { };

TEST_P(ParseDumpLine, TakesTheLineApart)
{
    const line_case& c = GetParam();
    auto table = std::make_unique<phone_table>();
    EXPECT_EQ(holds_entry(trim_line_end(c.line)), c.yields_entry);
    EXPECT_EQ(parse_dump_line(*table, trim_line_end(c.line)), c.yields_entry);
    ASSERT_EQ(table->entry_count, c.yields_entry ? 1 : 0);
    EXPECT_EQ(table->entries_found, table->entry_count);
    if (c.yields_entry) {
        EXPECT_EQ(table->entries[0].number, c.number);
        EXPECT_EQ(table->entries[0].name, c.name);
    }
}

const line_case line_cases[] = {
    {"3 555-123 Bob\n", true, "555-123", "Bob"},
    {"12  +49-30-555   Anne Marie\n", true, "+49-30-555", "Anne Marie"},
    {" 110 Police\n", true, "110", "Police"},
    {"7\n", false, "", ""},
    {"7 555-123\n", false, "", ""},
    {"7 555-123   \r\n", false, "", ""},
    {"7 \n", false, "", ""},
    {"1 112 Alexander Hamilton-Smith\n", true, "112", "Alexander Hamilt"},
    {"1\t555\tBob\n", false, "", ""},
    {"4 555-123 Mary Ann Lee\n", true, "555-123", "Mary Ann Lee"},
    {"4 555-123 Bob\t\n", true, "555-123", "Bob\t"},
    {"4 555-123 Bob  \r \r\n", true, "555-123", "Bob"},
    {"x 1 2\r\n", true, "1", "2"},
    {"1 555\t123 Bob\n", true, "555\t123", "Bob"},
    {"1 555 \xE9mile\n", true, "555", "\xE9mile"},
    {"\n", false, "", ""},
    {" \r\n", false, "", ""},
    {"  5 x\n", true, "5", "x"},
    {"1  555 \r\n", false, "", ""},
    {"", false, "", ""},
};

INSTANTIATE_TEST_SUITE_P(Lines, ParseDumpLine, testing::ValuesIn(line_cases));

TEST(TrimLineEnd, NeverRemovesTheFirstCharacter)
{
    EXPECT_EQ(trim_line_end("\n"), "\n");
    EXPECT_EQ(trim_line_end(" \r\n"), " ");
    EXPECT_EQ(trim_line_end("a \r \n"), "a");
    EXPECT_EQ(trim_line_end(""), "");
}

// A real stream holding the given bytes, read back from its start.
std::FILE* stream_with(const std::string& bytes)
{
    std::FILE* stream = std::tmpfile();
    if (stream) {
        std::fwrite(bytes.data(), 1, bytes.size(), stream);
        std::rewind(stream);
    }
    return stream;
}

struct read_case {
    const char* what;
    std::string dump;
    std::vector<std::string> names;  // stored, in file order
};

void PrintTo(const read_case& c, std::ostream* os) { *os << c.what; }

class ReadDump : public testing::TestWithParam<read_case> { };

TEST_P(ReadDump, StoresTheEntriesInFileOrder)
{
    std::FILE* input = stream_with(GetParam().dump);
    ASSERT_NE(input, nullptr);
    auto table = std::make_unique<phone_table>();
    dump_lines lines;
    EXPECT_EQ(read_dump(*table, input, lines), read_result::complete);
    std::fclose(input);
    std::vector<std::string> names;
    for (int i = 0; i < table->entry_count; ++i)
        names.push_back(table->entries[i].name);
    EXPECT_EQ(names, GetParam().names);
}

const std::string text_1022 = "1 2 " + std::string(1018, 'x');

const read_case read_cases[] = {
    {"empty", "", {}},
    {"UTF-8 byte order mark lands in the ignored slot",
     "\xEF\xBB\xBF"
     "1 5 Zed\n2 6 Al\n",
     {"Zed", "Al"}},
    {"last line without line end", "1 5 Zed\n2 6 Al", {"Zed", "Al"}},
    {"bare slots skipped", "1\r\n2 5 Bob\r\n3\r\n", {"Bob"}},
    {"zero byte ends the line", std::string("1 5 Bob\0 ignored\n2 6 Al\n", 24), {"Bob", "Al"}},
    {"zero byte first", std::string("\0\0 5 Bob\n2 6 Al\n", 16), {"Al"}},
    {"1022 characters and LF fit one read", text_1022 + "\n3 4 Next\n", {std::string(16, 'x'), "Next"}},
    {"1023 characters: the LF is not a line", text_1022 + "x\n3 4 Next\n", {std::string(16, 'x'), "Next"}},
    {"a name cut by the end of the read", "1 " + std::string(1017, '9') + " Bobby\n", {"Bob"}},
    {"tail of a long line is skipped",
     text_1022 + std::string(500, 'y') + " 9 Invented\n3 4 Next\n",
     {std::string(16, 'x'), "Next"}},
    {"zero byte inside a long line",
     "1 2 Bob" + std::string(1, '\0') + std::string(1500, 'y') + " 9 Invented\n3 4 Next\n",
     {"Bob", "Next"}},
    {"long line at the end without LF", text_1022 + std::string(3000, 'y'), {std::string(16, 'x')}},
    {"a zero-filled start, as a sparse file has it", std::string(100, '\0') + "\n1 5 Bob\n", {"Bob"}},
    {"one character", "7", {}},
};

INSTANTIATE_TEST_SUITE_P(Dumps, ReadDump, testing::ValuesIn(read_cases),
                         [](const auto& info) { return case_name(info.param.what); });

TEST(WriteSlots, WritesOneHundredSlotLines)
{
    auto table = std::make_unique<phone_table>();
    add_entry(*table, "555-103", "Al Jones");
    add_entry(*table, "555-105", "Alan");
    auto dump = std::make_unique<dump_text>();
    write_slots(*table, *dump);

    std::string expected = std::string("1 555-103 Al Jones") + DUMP_LINE_END + "2 555-105 Alan" + DUMP_LINE_END;
    for (int slot = 3; slot <= SLOT_COUNT; ++slot)
        expected += std::to_string(slot) + DUMP_LINE_END;
    EXPECT_EQ(std::string(dump->bytes, dump->length), expected);
}

}  // namespace
