// Writes the ROM files the benchmarks use, for runs of qdm-writer-cli on the same images:
//   qdm-bench-rom SIZE CHIP_CODE CHIP_INDEX FILE
// SIZE in bytes (suffix K or M for KiB, MiB), the codes as numbers (0x.. for hexadecimal).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchSupport.h"
#include "usb/Fileiofunctions.h"

namespace {

bool Number(const char* text, unsigned long long limit, unsigned long long& value) {
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    if (end == text) return false;
    const std::string suffix(end);
    if (suffix == "K")
        value <<= 10;
    else if (suffix == "M")
        value <<= 20;
    else if (!suffix.empty())
        return false;
    return value <= limit;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long size = 0;
    unsigned long long code = 0;
    unsigned long long index = 0;
    if (argc != 5 || !Number(argv[1], 0xFFFFFF, size) || size < 64 ||
        !Number(argv[2], 0xFF, code) || !Number(argv[3], 0x7F, index)) {
        std::fprintf(stderr, "usage: qdm-bench-rom SIZE CHIP_CODE CHIP_INDEX FILE\n");
        return 2;
    }
    const auto file =
        qdm::bench::ContainerFile(qdm::bench::PlainImage(size), static_cast<std::uint8_t>(code),
                                  static_cast<std::uint8_t>(index));
    if (!qdm::WriteFileFrom(file, argv[4])) {
        std::fprintf(stderr, "qdm-bench-rom: cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
