#include "tuneprobe/unattended.h"

#include "commands/version_info.h"
#include "console/console_io.h"
#include "console/run_events.h"
#include "results/record.h"
#include "testcmds/test_commands.h"
#include "tuneprobe/menu.h"
#include "tuneprobe/run_files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

using Json = nlohmann::ordered_json;

namespace {

Json Software(const char *id, const char *name, const std::string &version, const char *type)
{
    return {{"name", name}, {"version", version}, {"softwareType", type}, {"softwareInfoId", id}};
}

std::string Hostname()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

} // namespace

std::string NewRunId()
{
    uint8_t bytes[16] = {};
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // an id that is not random is still an id
        filled += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

Unattended::Unattended(const Options &options, const Limits *limits)
    : options_(options), startStamp_(Rfc3339Now()), runId_(NewRunId()), hostname_(Hostname()),
      record_(ocp_, junit_, limits)
{
    record_.SetStartTime(startStamp_);
}

Unattended::~Unattended()
{
    results::SetRecorder(nullptr);
}

bool Unattended::CreateFiles(std::string &message)
{
    if (!DistinctFiles(
            {{options_.reportPath, "--report"}, {options_.junitPath, "--junit"}, {options_.logPath, "--log"}}, message))
        return false;
    // Every file is opened (and locked) before any is emptied, so that a
    // refused run leaves what was there before as it was.
    RunFile report;
    RunFile log;
    bool busy = false;
    bool ok = (options_.reportPath.empty() || report.Open(options_.reportPath, "report", message, busy)) &&
              (options_.logPath.empty() || log.Open(options_.logPath, "log", message, busy)) &&
              (options_.junitPath.empty() || junit_.Prepare(options_.junitPath, message, busy));
    if (!ok) {
        report.Abandon();
        log.Abandon();
        junit_.Abandon();
        return false;
    }
    if (!options_.storePath.empty())
        ocp_.KeepLines();
    if (!options_.reportPath.empty()) {
        ocp_.Adopt(report.Keep(), options_.reportPath);
        ocp_.SchemaVersion(startStamp_);
    }
    if (!options_.logPath.empty()) {
        log_.reset(log.Keep());
        std::setvbuf(log_.get(), nullptr, _IOLBF, 0);
    }
    if (!options_.items.empty()) {
        std::string dutId = options_.dutId.empty() ? "unknown" : options_.dutId;
        junit_.SetRun(Properties(dutId), hostname_, JunitTimestamp());
        junit_.MarkInProgress();
        record_.Prepare(RunStart(Json{{"dutInfoId", dutId}}));
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

Json Unattended::RunStart(const Json &dutInfo) const
{
    Json parameters = Json::object();
    if (options_.interfaceGiven)
        parameters["interface"] = options_.interfaceText;
    parameters["items"] = options_.itemTexts;
    parameters["noPause"] = options_.noPause;
    if (options_.loadMode != 0)
        parameters["loadMode"] = options_.loadMode;
    parameters["connectAttempts"] = options_.connectAttempts;
    const std::pair<const char *, const std::string &> kTexts[] = {
        {"dutId", options_.dutId},     {"station", options_.station},   {"operator", options_.operatorName},
        {"fixture", options_.fixture}, {"limits", options_.limitsPath},
    };
    for (const auto &[key, value] : kTexts)
        if (!value.empty())
            parameters[key] = value;
    Json metadata = {{"runId", runId_}, {"hostname", hostname_}};
    for (const auto &[key, value] : kTexts)
        if (!value.empty() &&
            (std::strcmp(key, "station") == 0 || std::strcmp(key, "operator") == 0 || std::strcmp(key, "fixture") == 0))
            metadata[key] = value;
    for (const auto &[key, value] : options_.metadata)
        metadata[key] = value;
    return {{"name", "tuneprobe"},      {"version", TUNEPROBE_VERSION}, {"commandLine", options_.commandLine},
            {"parameters", parameters}, {"dutInfo", dutInfo},           {"metadata", metadata}};
}

JunitReport::Properties Unattended::Properties(const std::string &dutId) const
{
    JunitReport::Properties properties = {{"run-id", runId_}, {"dut-id", dutId}};
    const std::pair<const char *, const std::string &> kTexts[] = {
        {"station", options_.station}, {"operator", options_.operatorName}, {"fixture", options_.fixture}};
    for (const auto &[key, value] : kTexts)
        if (!value.empty())
            properties.emplace_back(key, value);
    properties.emplace_back("tuneprobe-version", TUNEPROBE_VERSION);
    for (const auto &[key, value] : options_.metadata)
        properties.emplace_back(key, value);
    return properties;
}

void Unattended::Begin(TavrelCalHandle handle)
{
    if (options_.items.empty())
        return;
    Json dut = {{"dutInfoId", options_.dutId}};
    Json metadata = Json::object();
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
        VersionTexts v;
        if (TavrelResult error = ReadVersionTexts(handle, v)) {
            record_.RunError(std::string("GetVersionInfo: ") + error);
        } else {
            dut["softwareInfos"] = Json::array({
                Software("phy-firmware", "PHY firmware", v.phyFirmware, "FIRMWARE"),
                Software("mac-firmware", "MAC firmware", v.macFirmware, "FIRMWARE"),
                Software("driver", "Driver", v.driver, "SYSTEM"),
                Software("cal-api", "Cal API library", v.calApi, "APPLICATION"),
            });
            dut["hardwareInfos"] = Json::array({
                {{"name", "Baseband chip"}, {"version", v.basebandChip}, {"hardwareInfoId", "baseband"}},
                {{"name", "RF chip"}, {"version", v.rfChip}, {"hardwareInfoId", "rf"}},
            });
        }
    }
    if (dut["dutInfoId"].get<std::string>().empty())
        dut["dutInfoId"] = "unknown";
    if (!metadata.empty())
        dut["metadata"] = metadata;
    junit_.SetRun(Properties(dut["dutInfoId"].get<std::string>()), hostname_, JunitTimestamp());
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

void Unattended::Disconnected(const char *error)
{
    if (!options_.items.empty())
        record_.RunLog("ERROR", std::string("DisconnectDevice: ") + error);
}

int Unattended::InputEnded()
{
    return Finish(false, {"input-ended", "Standard input ended before the run was complete"});
}

void Unattended::Interrupted(int signal)
{
    RunRecord::Cause cause = signal == SIGINT    ? RunRecord::Cause{"interrupted", "Interrupted (SIGINT)"}
                             : signal == SIGTERM ? RunRecord::Cause{"terminated", "Terminated (SIGTERM)"}
                             : signal == SIGHUP  ? RunRecord::Cause{"hung-up", "Hung up (SIGHUP)"}
                                                : RunRecord::Cause{"output-closed", "Standard output closed (SIGPIPE)"};
    Finish(false, cause);
}

int Unattended::StartFailed(const std::string &reason)
{
    return Finish(false, {"start-failed", reason});
}

int Unattended::NoInterface()
{
    return Finish(false, {"no-interface", "No interface was chosen"});
}

int Unattended::Finish(bool complete, const RunRecord::Cause &cause)
{
    if (status_ >= 0)
        return status_;
    if (!options_.items.empty())
        record_.Finish(complete, cause);
    results::SetRecorder(nullptr);
    // Results that did not reach their files leave the run unjudged.
    std::vector<std::string> messages;
    if (!ocp_.WriteError().empty())
        messages.push_back(ocp_.WriteError());
    if (log_ && (std::fflush(log_.get()) != 0 || std::ferror(log_.get())))
        messages.push_back("cannot write the log " + options_.logPath + ": " + std::strerror(errno));
    std::string junitMessage;
    if (!junit_.Finish(junitMessage))
        messages.push_back(junitMessage);
    if (int error = con::OutputError())
        messages.push_back(std::string("cannot write standard output: ") + std::strerror(error));
    // The run as its report has it, whole, once the report is complete.
    std::string storeMessage;
    if (!options_.storePath.empty() && !results_store::RecordReport(options_.storePath, ocp_.Lines(), storeMessage))
        messages.push_back("cannot record the run in the store: " + storeMessage);
    for (const std::string &message : messages)
        std::fprintf(stderr, "tuneprobe: %s\n", message.c_str());
    if (!messages.empty())
        record_.ResultsLost();
    status_ = !options_.items.empty() ? record_.ExitStatus() : messages.empty() ? 0 : 3;
    return status_;
}
