#include "cli/Context.h"

#include <sstream>

#include "cli/ExitCodes.h"
#include "session/Session.h"
#include "usb/DeviceSelection.h"

namespace qdm::cli {

Output::Output(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool outTerminal,
               bool errTerminal)
    : json_(options.json), quiet_(options.quiet), out_(out), err_(err) {
    if (quiet_) {
        human_ = &discard_;
        humanTerminal_ = false;
    } else if (json_ || options.progressLines) {
        human_ = &err_;
        humanTerminal_ = errTerminal;
    } else {
        human_ = &out_;
        humanTerminal_ = outTerminal;
    }
}

void Output::Error(std::string_view text) {
    err_ << "qdm-writer-cli: " << text << "\n";
    err_.flush();
    if (!result_.contains("message")) result_["message"] = std::string(text);
}

void Output::Warn(std::string_view text) {
    err_ << "qdm-writer-cli: warning: " << text << "\n";
    result_["warnings"].push_back(std::string(text));
}

nlohmann::ordered_json Output::ResultObject(std::string_view command, int code) const {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["program"] = "qdm-writer-cli";
    object["version"] = QDM_VERSION;
    object["command"] = std::string(command);
    object["exit_code"] = code;
    object["result"] = std::string(ExitCodeName(code));
    for (const auto& [key, value] : result_.items())
        object[key] = value;
    return object;
}

int Output::Finish(std::string_view command, int code) {
    if (!json_) return code;
    out_ << ResultObject(command, code)
                .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
         << "\n";
    out_.flush();
    return code;
}

Context::Context(const GlobalOptions& options, Output& output)
    : options_(options), output_(output) {}

Context::~Context() = default;

Session* Context::Dongle(DongleUse use) {
    if (!session_) {
        std::ostringstream why;
        session::SetupProblem problem{};
        session_ = Session::Create(options_.session, why, &problem);
        if (!session_) {
            dongleFailure_ = problem == session::SetupProblem::File       ? kExitFile
                             : problem == session::SetupProblem::NoDevice ? kExitNoDongle
                                                                          : kExitUsage;
            std::string reason = why.str();
            while (!reason.empty() && reason.back() == '\n')
                reason.pop_back();
            output_.Error(reason);
            return nullptr;
        }
        if (!options_.session.device && use != DongleUse::All && !TakeFirstDongle(use)) {
            session_.reset();
            return nullptr;
        }
        if (!session_->DeviceId().empty()) output_.Result()["device"] = session_->DeviceId();
    }
    return session_.get();
}

bool Context::TakeFirstDongle(DongleUse use) {
    const std::vector<usb::DeviceLocation> dongles = session_->Dongles();
    if (dongles.size() > 1) {
        const std::string count =
            std::to_string(dongles.size()) + " attached (" + usb::IdList(dongles) + ")";
        if (use == DongleUse::Writes) {
            output_.Error(std::to_string(dongles.size()) + " dongles are attached (" +
                          usb::IdList(dongles) +
                          "): name the one to write to with --device ID, or write to each with "
                          "gang");
            dongleFailure_ = kExitUsage;
            return false;
        }
        output_.Human() << "Dongle: " << dongles.front().id << ", the first of " << count
                        << "; --device ID names another\n";
    }
    // A dongle plugged in later, or coming back first after a firmware download, is not it.
    session_->SelectFirst();
    return true;
}

}  // namespace qdm::cli
