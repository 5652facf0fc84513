#pragma once
// What several commands share: hexadecimal texts and the --agent argument.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cli/Commands.h"

namespace qdm::cli {

// "0x" and `value` in at least `digits` upper-case hexadecimal digits.
std::string HexValue(std::uint32_t value, int digits);

// The bytes as upper-case hexadecimal pairs, separated by blanks.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// --agent NAME at arguments[i]; moves `i` to the name. False (reported) for a missing or unknown
// name.
bool TakeAgent(Output& output, const Arguments& arguments, std::size_t& i,
               std::optional<std::int32_t>& agent);

}  // namespace qdm::cli
