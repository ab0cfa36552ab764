// Frames per second of the three builders on buffers already in memory.
#include <cmath>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "loops/loop_mode.hpp"

namespace {

struct Input {
    sorvane::ChannelBuffer left;
    sorvane::ChannelBuffer right;
};

Input makeInput(std::size_t frames) {
    Input in{sorvane::ChannelBuffer(frames), sorvane::ChannelBuffer(frames)};
    for (std::size_t i = 0; i < frames; ++i) {
        in.left[i] = 0.5 * std::sin(static_cast<double>(i) * 0.0157);
        in.right[i] = 0.4 * std::sin(static_cast<double>(i) * 0.0211 + 1.0);
    }
    return in;
}

template <typename Build>
void runBuilder(benchmark::State& state, Build build) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const auto channels = static_cast<std::int32_t>(state.range(1));
    const Input in = makeInput(frames);
    for (auto _ : state) {
        sorvane::InterleavedBuffer out = build(in, channels);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
}

void crossfade(benchmark::State& state) {
    runBuilder(state, [](const Input& in, std::int32_t c) {
        return sorvane::buildCrossfadeLoop(in.left, in.right, c, sorvane::kDefaultCrossfadePercent);
    });
}

void pingPong(benchmark::State& state) {
    runBuilder(state, [](const Input& in, std::int32_t c) { return sorvane::buildPingPongLoop(in.left, in.right, c); });
}

void zeroCrossing(benchmark::State& state) {
    runBuilder(state,
               [](const Input& in, std::int32_t c) { return sorvane::buildZeroCrossingLoop(in.left, in.right, c); });
}

void sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"frames", "channels"});
    for (const std::int64_t frames : {1'000'000, 10'000'000}) {
        for (const std::int64_t channels : {1, 2}) {
            b->Args({frames, channels});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(crossfade)->Apply(sizes);
BENCHMARK(pingPong)->Apply(sizes);
BENCHMARK(zeroCrossing)->Apply(sizes);

BENCHMARK_MAIN();
