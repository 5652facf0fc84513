#include "cli/Files.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"

namespace qdm::cli {

namespace {
bool SameWord(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}
}  // namespace

std::optional<int> ChipTypeIndex(const std::string& name) {
    for (std::size_t i = 0; i < ChipTypeNames.size(); ++i)
        if (SameWord(ChipTypeNames[i], name)) return static_cast<int>(i);
    return std::nullopt;
}

std::optional<std::int32_t> AgentIndexByName(const std::string& name) {
    for (std::size_t i = 0; i < AgentNames.size(); ++i)
        if (SameWord(AgentNames[i], name)) return static_cast<std::int32_t>(i);
    if (name.size() == 1 && name[0] >= '0' && name[0] <= '9') return name[0] - '0';
    return std::nullopt;
}

std::string AgentNameList() {
    std::string list;
    for (const std::string_view name : AgentNames) {
        if (!list.empty()) list += ", ";
        list += name;
    }
    return list;
}

bool ReadInputFile(const std::filesystem::path& file, std::size_t maxBytes,
                   std::vector<std::uint8_t>& bytes, std::string& error) {
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status)) {
        error = "cannot open " + file.string();
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        error = file.string() + " is not a regular file";
        return false;
    }
    const std::int64_t size = FileSizeOf(file);
    if (size < 0) {
        error = "cannot open " + file.string();
        return false;
    }
    if (static_cast<std::uint64_t>(size) > maxBytes) {
        error = file.string() + " is larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size), 0);
    if (ReadFileInto(file, bytes) != bytes.size()) {
        error = "cannot read " + file.string() + " whole";
        return false;
    }
    return true;
}

bool WriteOutputFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes,
                     std::string& error) {
    std::filesystem::path temporary = file;
    temporary += ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create " + temporary.string();
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        error = "cannot replace " + file.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace qdm::cli
