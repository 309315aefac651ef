// Micro-benchmarks of the parts of a run that do work per entry or per line.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "phonebook/dump.h"
#include "phonebook/phonebook.h"

namespace {

std::unique_ptr<phone_table> full_table()
{
    auto table = std::make_unique<phone_table>();
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        std::string name = "Name " + std::to_string(i * 7919 % MAX_ENTRIES);
        add_entry(*table, "+49-30-5550" + std::to_string(i), name);
    }
    return table;
}

// Includes copying the unsorted table (26 KiB), small against 130,816 comparisons.
void sort_full_table(benchmark::State& state)
{
    auto unsorted = full_table();
    auto table = std::make_unique<phone_table>();
    for (auto _ : state) {
        *table = *unsorted;
        sort_by_name(*table);
        benchmark::DoNotOptimize(table->entries[0]);
    }
}
BENCHMARK(sort_full_table);

const std::string typical_line = "17 +49-30-5550123 Anna Schmidt-Lind\r\n";

void parse_line(benchmark::State& state)
{
    auto table = std::make_unique<phone_table>();
    for (auto _ : state) {
        table->entry_count = 0;  // always room
        benchmark::DoNotOptimize(parse_dump_line(*table, trim_line_end(typical_line)));
    }
}
BENCHMARK(parse_line);

// What a line costs once the table is full.
void count_line(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(holds_entry(trim_line_end(typical_line)));
}
BENCHMARK(count_line);

}  // namespace
