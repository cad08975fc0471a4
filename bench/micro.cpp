// Micro-benchmarks of the units in-process, so that a regression in the
// code itself shows apart from process start-up.
#include "address_math.hpp"
#include "quad_pattern.hpp"

#include <benchmark/benchmark.h>

namespace {

// What one run does: compile the pattern, search one text.
void pattern_check(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(contains_dotted_quad("10.0.0.1"));
}
BENCHMARK(pattern_check);

void read_quad_text(benchmark::State &state) {
    quad q{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(read_quad("192.168.100.200", &q));
        benchmark::DoNotOptimize(q);
    }
}
BENCHMARK(read_quad_text);

void convert_offset_text(benchmark::State &state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(convert_offset("-16909060"));
}
BENCHMARK(convert_offset_text);

void compose_and_split(benchmark::State &state) {
    quad q{{192, 168, 1, 1}};
    int32_t offset = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(offset);
        octets o = split_address(compose_address(q, offset++));
        benchmark::DoNotOptimize(o);
    }
}
BENCHMARK(compose_and_split);

} // namespace

BENCHMARK_MAIN();
