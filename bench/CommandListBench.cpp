// Building the longest list the host sends: 32 page groups of one programming batch.

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "protocol/CommandList.h"

namespace qdm::bench {
namespace {

constexpr std::size_t kPagesPerList = 32;
constexpr std::size_t kListCapacity = 32 * 1024;

void BM_BuildProgrammingList(benchmark::State& state) {
    const std::vector<std::uint8_t> image = PlainImage(kPagesPerList * kPageSize);
    // One list object serves every batch of an image, as in the board operations.
    CommandList list(kListCapacity);
    for (auto _ : state) {
        for (std::size_t g = 0; g < kPagesPerList; ++g)
            list.AppendPageGroup(PageBoard::K3r8, static_cast<std::uint32_t>(g * kPageSize),
                                 PageAt(image, g * kPageSize));
        list.OP_ACK();
        list.OP_END_GROUP();
        benchmark::DoNotOptimize(list.Bytes().data());
        benchmark::ClobberMemory();
        list.Reset();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kPagesPerList * kPageGroupSize + 4));
}
BENCHMARK(BM_BuildProgrammingList);

}  // namespace
}  // namespace qdm::bench
