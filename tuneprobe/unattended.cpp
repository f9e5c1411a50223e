#include "tuneprobe/unattended.h"

#include "console/run_events.h"
#include "testcmds/test_commands.h"
#include "tuneprobe/menu.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

using json = nlohmann::ordered_json;

namespace {

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string Dotted(const uint32_t parts[3])
{
    return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

json Software(const char *id, const char *name, const std::string &version, const char *type)
{
    return {{"name", name}, {"version", version}, {"softwareType", type}, {"softwareInfoId", id}};
}

} // namespace

Unattended::Unattended(const Options &options) : options_(options), record_(ocp_, junit_) {}

Unattended::~Unattended()
{
    results::SetRecorder(nullptr);
}

bool Unattended::CreateFiles(std::string &message)
{
    bool ok = (options_.reportPath.empty() || ocp_.Create(options_.reportPath, message)) &&
              (options_.junitPath.empty() || junit_.Create(options_.junitPath, message));
    if (ok && !options_.logPath.empty()) {
        log_.reset(std::fopen(options_.logPath.c_str(), "w"));
        if (!log_) {
            message = "cannot write the log " + options_.logPath + ": " + std::strerror(errno);
            ok = false;
        }
    }
    if (!ok) {
        ocp_.Discard();
        junit_.Discard();
        return false;
    }
    if (log_)
        std::setvbuf(log_.get(), nullptr, _IOLBF, 0);
    if (!options_.items.empty()) {
        record_.Prepare(RunStart(json{{"dutInfoId", options_.dutId.empty() ? "unknown" : options_.dutId}}));
        results::SetRecorder(&record_);
    }
    return true;
}

bool Unattended::Active() const
{
    return !options_.items.empty() || log_ != nullptr;
}

void Unattended::Console(const char *text, std::size_t length)
{
    if (log_)
        std::fwrite(text, 1, length, log_.get());
    if (!options_.items.empty())
        record_.Console(text, length);
}

json Unattended::RunStart(const json &dutInfo) const
{
    json parameters = json::object();
    if (options_.interfaceGiven)
        parameters["interface"] = options_.interfaceText;
    parameters["items"] = options_.itemTexts;
    parameters["noPause"] = options_.noPause;
    if (options_.loadMode != 0)
        parameters["loadMode"] = options_.loadMode;
    if (!options_.dutId.empty())
        parameters["dutId"] = options_.dutId;
    if (!options_.station.empty())
        parameters["station"] = options_.station;
    json start = {{"name", "tuneprobe"},
                  {"version", TUNEPROBE_VERSION},
                  {"commandLine", options_.commandLine},
                  {"parameters", parameters},
                  {"dutInfo", dutInfo}};
    if (!options_.station.empty())
        start["metadata"] = {{"station", options_.station}};
    return start;
}

void Unattended::Begin(TavrelCalHandle handle)
{
    if (options_.items.empty())
        return;
    json dut = {{"dutInfoId", options_.dutId}};
    json metadata = json::object();
    if (handle != nullptr) {
        uint8_t mac[6] = {};
        if (const char *error = GetMACAddress(handle, mac)) {
            record_.RunError(std::string("GetMACAddress: ") + error);
        } else {
            char text[18];
            std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                          mac[5]);
            metadata["macAddress"] = text;
            if (options_.dutId.empty())
                dut["dutInfoId"] = text;
        }
        uint32_t phy = 0;
        uint32_t macFirmware[3] = {};
        char driver[TAVREL_DRIVER_VERSION_SIZE] = {};
        uint32_t library[3] = {};
        uint32_t baseband = 0;
        uint32_t rf = 0;
        if (const char *error = GetVersionInfo(handle, &phy, macFirmware, driver, library, &baseband, &rf)) {
            record_.RunError(std::string("GetVersionInfo: ") + error);
        } else {
            driver[TAVREL_DRIVER_VERSION_SIZE - 1] = '\0';
            dut["softwareInfos"] = json::array({
                Software("phy-firmware", "PHY firmware", Hex(phy, 8), "FIRMWARE"),
                Software("mac-firmware", "MAC firmware", Dotted(macFirmware), "FIRMWARE"),
                Software("driver", "Driver", driver, "SYSTEM"),
                Software("cal-api", "Cal API library", Dotted(library), "APPLICATION"),
            });
            dut["hardwareInfos"] = json::array({
                {{"name", "Baseband chip"}, {"version", Hex(baseband, 8)}, {"hardwareInfoId", "baseband"}},
                {{"name", "RF chip"}, {"version", Hex(rf, 4)}, {"hardwareInfoId", "rf"}},
            });
        }
    }
    if (dut["dutInfoId"].get<std::string>().empty())
        dut["dutInfoId"] = "unknown";
    if (!metadata.empty())
        dut["metadata"] = metadata;
    record_.Start(RunStart(dut));
}

void Unattended::RunItem(TavrelCalHandle handle, int row)
{
    const MenuRow &item = MenuTable[row];
    if (item.handler == CmdAutomatedTest) {
        item.handler(handle);
        return;
    }
    results::BeginStep(item.label);
    int result = item.handler(handle);
    results::EndStep(result != 0);
}

int Unattended::InputEnded()
{
    return Finish(false, "Standard input ended before the run was complete");
}

void Unattended::Interrupted(int signal)
{
    Finish(false, signal == SIGINT ? "Interrupted (SIGINT)" : "Terminated (SIGTERM)");
}

int Unattended::Finish(bool complete, const std::string &reason)
{
    if (status_ >= 0)
        return status_;
    if (!options_.items.empty()) {
        record_.Finish(complete, reason);
        status_ = complete ? record_.ExitStatus() : 2;
    } else {
        status_ = 0;
    }
    results::SetRecorder(nullptr);
    if (log_)
        std::fflush(log_.get());
    return status_;
}
