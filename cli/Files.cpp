#include "cli/Files.h"

#include <algorithm>
#include <cctype>

#include "session/ProcessFiles.h"
#include "state/Mainprocess.h"
#include "state/SafeFile.h"

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
    const FileOutcome read = ReadRegularFile(file, maxBytes, bytes);
    if (!read) error = file.string() + ": " + read.Reason();
    return static_cast<bool>(read);
}

bool WriteOutputFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes,
                     std::string& error) {
    const FileOutcome written = ReplaceWithNewFile(file, bytes);
    if (!written) error = file.string() + ": " + written.Reason();
    return static_cast<bool>(written);
}

std::optional<std::string> OutputOverInput(const std::filesystem::path& input,
                                           const std::filesystem::path& output) {
    session::ProcessFiles files;
    files.inputs.push_back({"the input", input});
    files.outputs.push_back({"the output", output});
    return session::OutputOverAnInput(files);
}

}  // namespace qdm::cli
