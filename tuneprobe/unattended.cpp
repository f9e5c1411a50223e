#include "tuneprobe/unattended.h"

#include "console/run_events.h"
#include "testcmds/test_commands.h"
#include "console/console_io.h"
#include "tuneprobe/menu.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
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

// Two options naming one file would write over each other.
bool DistinctFiles(const Options &options, std::string &message)
{
    const struct {
        const std::string &path;
        const char *option;
    } kFiles[] = {{options.reportPath, "--report"}, {options.junitPath, "--junit"}, {options.logPath, "--log"}};
    std::filesystem::path seen[3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (kFiles[i].path.empty())
            continue;
        std::error_code error;
        seen[i] = std::filesystem::weakly_canonical(kFiles[i].path, error);
        if (error)
            seen[i] = std::filesystem::absolute(kFiles[i].path, error);
        for (std::size_t k = 0; k < i; ++k) {
            if (!seen[k].empty() && seen[k] == seen[i]) {
                message = std::string(kFiles[k].option) + " and " + kFiles[i].option + " name the same file " +
                          kFiles[i].path;
                return false;
            }
        }
    }
    return true;
}

// A file opened for writing but not emptied yet; Abandon removes it again
// when this run created it.
struct OpenedFile {
    std::FILE *file = nullptr;
    std::string path;
    bool created = false;

    bool Open(const std::string &name, const char *what, std::string &message)
    {
        path = name;
        // A FIFO nobody reads is refused instead of waited for (O_NONBLOCK).
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST)
            fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            file = ::fdopen(fd, "w");
            if (file == nullptr)
                ::close(fd);
        }
        if (file == nullptr) {
            message = std::string("cannot write the ") + what + " " + name + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    // Empties the file and hands it over.
    std::FILE *Keep()
    {
        struct stat info {};
        if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(::fileno(file), 0) != 0)
            std::clearerr(file); // a failed write later says more than this
        std::FILE *kept = file;
        file = nullptr;
        return kept;
    }

    void Abandon()
    {
        if (file == nullptr)
            return;
        std::fclose(file);
        file = nullptr;
        if (created)
            ::unlink(path.c_str());
    }

    ~OpenedFile() { Abandon(); }
};

} // namespace

Unattended::Unattended(const Options &options) : options_(options), record_(ocp_, junit_) {}

Unattended::~Unattended()
{
    results::SetRecorder(nullptr);
}

bool Unattended::CreateFiles(std::string &message)
{
    if (!DistinctFiles(options_, message))
        return false;
    // Every file is opened before any is emptied, so that a refused run
    // leaves what was there before as it was.
    OpenedFile report;
    OpenedFile log;
    bool ok = (options_.reportPath.empty() || report.Open(options_.reportPath, "report", message)) &&
              (options_.logPath.empty() || log.Open(options_.logPath, "log", message)) &&
              (options_.junitPath.empty() || junit_.Create(options_.junitPath, message));
    if (!ok) {
        report.Abandon();
        log.Abandon();
        return false;
    }
    if (report.file != nullptr)
        ocp_.Adopt(report.Keep(), options_.reportPath);
    if (log.file != nullptr) {
        log_.reset(log.Keep());
        std::setvbuf(log_.get(), nullptr, _IOLBF, 0);
    }
    if (junit_.IsOpen())
        con::RemoveOnAbort(junit_.TemporaryPath());
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
    const char *reason = signal == SIGINT    ? "Interrupted (SIGINT)"
                         : signal == SIGTERM ? "Terminated (SIGTERM)"
                         : signal == SIGHUP  ? "Hung up (SIGHUP)"
                                             : "Standard output closed (SIGPIPE)";
    Finish(false, reason);
}

int Unattended::Finish(bool complete, const std::string &reason)
{
    if (status_ >= 0)
        return status_;
    status_ = 0;
    if (!options_.items.empty()) {
        record_.Finish(complete, reason);
        status_ = complete ? record_.ExitStatus() : 2;
    }
    results::SetRecorder(nullptr);
    // Results that did not reach their files make the run a failure too.
    std::string message = ocp_.WriteError();
    if (log_ && (std::fflush(log_.get()) != 0 || std::ferror(log_.get())) && message.empty())
        message = "cannot write the log " + options_.logPath + ": " + std::strerror(errno);
    std::string junitMessage;
    if (!junit_.Finish(junitMessage) && message.empty())
        message = junitMessage;
    if (!message.empty()) {
        std::fprintf(stderr, "tuneprobe: %s\n", message.c_str());
        status_ = status_ == 0 ? 2 : status_;
    }
    return status_;
}
