// Preparing a loaded ROM file in place: a container's payload moved over its header, the agent
// key found and the checksum summed; a raw-file-form image converted to the chained form.

#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench/BenchSupport.h"
#include "state/Mainprocess.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::bench {
namespace {

constexpr std::uint8_t kChipCode = 0x20;
constexpr std::uint8_t kChipIndex = 11;

// `file` is copied into the workflow's buffer (file length + slack) before each preparation,
// outside the timing, since preparing works in place.
void PrepareEach(benchmark::State& state, const std::vector<std::uint8_t>& file) {
    ResetProgramState();
    std::vector<std::uint8_t> buffer(file.size() + kImageSlack, kErasedByte);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(file.begin(), file.end(), buffer.begin());
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(file.size()), buffer.end(),
                  kErasedByte);
        state.ResumeTiming();
        auto prepared = PrepareRomImage(file.size(), buffer);
        if (!prepared) {
            state.SkipWithError(prepared.error().reason.c_str());
            break;
        }
        benchmark::DoNotOptimize(prepared.value().checksum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_PrepareRomImage_Container(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    PrepareEach(state, ContainerFile(PlainImage(size), kChipCode, kChipIndex));
}
BENCHMARK(BM_PrepareRomImage_Container)
    ->RangeMultiplier(2)
    ->Range(32 << 10, 2 << 20)
    ->Unit(benchmark::kMicrosecond);

// Only the four classic sizes come in the raw-file form.
void BM_PrepareRomImage_RawFile(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    PrepareEach(state, MakeRawFileImage(PlainImage(size), AgentKey(kBuiltInAgentIndex)).value());
}
BENCHMARK(BM_PrepareRomImage_RawFile)
    ->RangeMultiplier(2)
    ->Range(32 << 10, 256 << 10)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qdm::bench
