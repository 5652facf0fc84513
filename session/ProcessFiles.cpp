#include "session/ProcessFiles.h"

#include <system_error>

#include "sim/SimulationDump.h"
#include "state/SafeFile.h"
#include "usb/FirmwareLoader.h"

namespace qdm::session {

void ProcessFiles::AddSession(const SessionOptions& options) {
    if (options.firmware) {
        inputs.push_back({"the firmware file", *options.firmware});
    } else if (!options.simulate) {
        inputs.push_back({"the firmware file", FirmwareFilePath()});
    }
    if (options.trace) outputs.push_back({"the trace file", *options.trace});
    if (options.simDump) {
        for (const unsigned number : SimulatedNumbers(options))
            for (const std::string& name : sim::DongleDumpFileNames())
                outputs.push_back({"the --sim-dump file", SimDumpFolder(options, number) / name});
    }
}

std::optional<std::string> OutputOverAnInput(const ProcessFiles& files) {
    // Outputs are often not there yet: then their paths tell, with links in the folders followed.
    const auto same = [](const std::filesystem::path& a, const std::filesystem::path& b) {
        if (IsSameFile(a, b)) return true;
        std::error_code ec;
        const std::filesystem::path x = std::filesystem::weakly_canonical(a, ec);
        if (ec) return false;
        const std::filesystem::path y = std::filesystem::weakly_canonical(b, ec);
        return !ec && x == y;
    };
    const auto clash = [&same](const NamedFile& output,
                               const NamedFile& other) -> std::optional<std::string> {
        if (!same(output.path, other.path)) return std::nullopt;
        return output.role + " " + output.path.string() + " is " + other.role + " " +
               other.path.string() + "; refusing to write over it";
    };
    for (std::size_t i = 0; i < files.outputs.size(); ++i) {
        for (const NamedFile& input : files.inputs)
            if (auto why = clash(files.outputs[i], input)) return why;
        for (std::size_t j = i + 1; j < files.outputs.size(); ++j)
            if (auto why = clash(files.outputs[i], files.outputs[j])) return why;
    }
    return std::nullopt;
}

}  // namespace qdm::session
