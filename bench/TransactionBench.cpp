// One exchange with the virtual dongle through the whole USB class family: the device created
// and opened (descriptors read, tree built), the IN read queued, the padded list sent, both
// waited for and finished, the device closed. The dongle answers at once, so what is measured is
// the host's work plus the dongle model's.

#include <benchmark/benchmark.h>

#include "bench/BenchSupport.h"
#include "protocol/CommandList.h"
#include "protocol/Usbfunctions.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"

namespace qdm::bench {
namespace {

constexpr std::size_t kListCapacity = 32 * 1024;

// pages = 0: the 4-byte identity query; otherwise that many page groups, an acknowledge and
// the end mark (the programming list of one batch has 32).
CommandList ProgrammingList(std::size_t pages, std::span<const std::uint8_t> image) {
    CommandList list(kListCapacity);
    if (pages == 0) {
        list.OP_INFO(2);
    } else {
        for (std::size_t g = 0; g < pages; ++g)
            list.AppendPageGroup(PageBoard::K3r8, static_cast<std::uint32_t>(g * kPageSize),
                                 PageAt(image, g * kPageSize));
        list.OP_ACK();
    }
    list.OP_END_GROUP();
    return list;
}

void Exchanges(benchmark::State& state, const CommandList& list) {
    std::vector<std::uint8_t> reply(list.ReplyLength());
    for (auto _ : state) {
        if (!WriterTransaction(list.Bytes(), reply)) {
            state.SkipWithError("the transaction failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
    const auto padded = static_cast<std::int64_t>(PaddedListLength(list.Bytes().size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            (padded + static_cast<std::int64_t>(reply.size())));
    state.counters["list_bytes"] = static_cast<double>(list.Bytes().size());
    state.counters["reply_bytes"] = static_cast<double>(reply.size());
}

void BM_WriterTransaction_Program(benchmark::State& state) {
    VirtualBench rig("k3r8");
    rig.StartWriter();
    const auto image = PlainImage(32 * kPageSize);
    Exchanges(state, ProgrammingList(static_cast<std::size_t>(state.range(0)), image));
}
BENCHMARK(BM_WriterTransaction_Program)
    ->ArgName("pages")
    ->Arg(0)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(32)
    ->Unit(benchmark::kMicrosecond);

// A read-back list: the read position, then `reads` times 33 3F (512 reply bytes each).
void BM_WriterTransaction_Read(benchmark::State& state) {
    VirtualBench rig("k3r8");
    rig.StartWriter();
    CommandList list(kListCapacity);
    list.OP_R8_SET_ADDRESS(0);
    for (std::int64_t r = 0; r < state.range(0); ++r) {
        list.OP_R8_READ(0x3F);
        list.OP_END_GROUP();
    }
    Exchanges(state, list);
}
BENCHMARK(BM_WriterTransaction_Read)
    ->ArgName("reads")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(8)
    ->Unit(benchmark::kMicrosecond);

// The identity query with the diagnostic log off (0) and on into a sink that drops each line
// (1): what -v costs a transaction, and that without it the log costs nothing measurable.
void BM_WriterTransaction_Diagnostics(benchmark::State& state) {
    VirtualBench rig("k3r8");
    rig.StartWriter();
    if (state.range(0) != 0)
        StartDiagnostics([](std::string_view line) { benchmark::DoNotOptimize(line.data()); });
    Exchanges(state, ProgrammingList(0, {}));
    StopDiagnostics();
}
BENCHMARK(BM_WriterTransaction_Diagnostics)
    ->ArgName("log")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// The open sequence alone, with the port reset every board operation ends with.
void BM_ResetDonglePort(benchmark::State& state) {
    VirtualBench rig("k3r8");
    rig.StartWriter();
    for (auto _ : state) {
        if (!ResetDonglePort()) {
            state.SkipWithError("the dongle did not open");
            break;
        }
    }
}
BENCHMARK(BM_ResetDonglePort)->Unit(benchmark::kMicrosecond);

// The window's once-a-second presence check.
void BM_CheckDonglePresence(benchmark::State& state) {
    VirtualBench rig("k3r8");
    for (auto _ : state) {
        if (!CheckDonglePresence()) {
            state.SkipWithError("the dongle did not open");
            break;
        }
    }
}
BENCHMARK(BM_CheckDonglePresence)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qdm::bench
