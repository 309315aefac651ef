// Builds a full table of few distinct names from the fuzzer's bytes and checks that
// sort_by_name gives exactly the order of the plain exchange steps. Few names over
// 512 entries make many ties, where an exchange order that is merely sorted differs.
//
// Input: one byte for the count of distinct names (1 to 8); per name a length byte
// (1 to 18, so some are cut at 16) and that many bytes choosing its characters;
// then bytes choosing, in turn, the name of each of the 512 entries.

#include <cstdint>
#include <string>

#include "fuzz/fuzz_checks.h"

namespace {

constexpr char ALPHABET[] = {'A', 'a', ' ', '\xC4', 'z', '~'};  // space, case and a byte above 127
constexpr int MAX_NAMES = 8;
constexpr int LONGEST_NAME = 18;

phone_table table;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t at = 0;
    auto next_byte = [&] { return at < size ? unsigned {data[at++]} : 0u; };  // 0 once the input is used up
    std::string names[MAX_NAMES];
    int name_count = 1 + next_byte() % MAX_NAMES;
    for (int n = 0; n < name_count; ++n) {
        int length = 1 + next_byte() % LONGEST_NAME;
        for (int c = 0; c < length; ++c)
            names[n] += ALPHABET[next_byte() % sizeof ALPHABET];
    }

    // The choosing bytes are used over and over, shifted by each round, so a short
    // input still gives a full table.
    const std::uint8_t* choices = data + at;
    std::size_t choice_count = size - at;
    table = {};
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        std::size_t choice = choice_count ? choices[i % choice_count] + i / choice_count : i;
        add_entry(table, std::to_string(i), names[choice % name_count]);
    }
    require(table.entry_count == MAX_ENTRIES, "a full table");
    check_exchange_order(table);
    return 0;
}
