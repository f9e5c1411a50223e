// The simulated modem's core: the interface, the connection, the library
// options, fault injection and the values every area shares.
#include "calsim/sim_core.h"
#include "calsim/model.h"

#include "calsim/control.h"
#include "calsim/control_radio.h"

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace calsim {
namespace {

struct Interface {
    uint32_t type = 0;
    std::string address;
    uint32_t number = 0;
};

struct Fault {
    std::string text;
    FaultCount count{.skip = 0, .times = -1};
};

struct Core {
    std::unique_ptr<Interface> interface;
    bool connected = false;
    bool nullInterface = false;
    std::map<std::string, Fault> faults;
    std::map<std::string, int> callCounts;
    std::vector<std::string> callLog;
    std::mt19937 random{1};
    bool virtualClock = false;
    double virtualMs = 0;
};

Core &State()
{
    static Core core;
    return core;
}

std::vector<ResetFunction> &ResetFunctions()
{
    static std::vector<ResetFunction> functions;
    return functions;
}

const std::chrono::steady_clock::time_point g_loadTime = std::chrono::steady_clock::now();

// Library options: ID, name, minimum, maximum, default, reserved.
const TavrelOptionInfo kOptions[8] = {
    {0, "Debug trace level", 0, 3, 0, 0},
    {1, "Command timeout (ms)", 100, 60000, 5000, 0},
    {2, "Connect retry count", 0, 10, 3, 0},
    {3, "Factory test hook", 0, 0xFFFFFFFFu, 0, 1},
    {4, "Auto load Device Data on connect", 0, 1, 1, 0},
    {5, "Verify Device Data writes", 0, 1, 0, 0},
    {6, "Calibration table cache", 0, 0xFFFFFFFFu, 0, 1},
    {7, "NVM mode", 0, 2, 0, 0},
};
uint32_t g_optionValues[8];

void ResetOptions()
{
    for (int i = 0; i < 8; ++i)
        g_optionValues[i] = kOptions[i].defaultValue;
}
ResetRegistration g_resetOptions(ResetOptions);

// CALSIM_FAULTS entry: NAME[/SKIP][:TIMES][=TEXT]
void ParseFault(const std::string &entry)
{
    std::string spec = entry;
    std::string text = "Simulated failure";
    std::size_t eq = spec.find('=');
    if (eq != std::string::npos) {
        text = spec.substr(eq + 1);
        spec.resize(eq);
    }
    int times = -1;
    std::size_t colon = spec.find(':');
    if (colon != std::string::npos) {
        times = std::atoi(spec.c_str() + colon + 1);
        spec.resize(colon);
    }
    int skip = 0;
    std::size_t slash = spec.find('/');
    if (slash != std::string::npos) {
        skip = std::atoi(spec.c_str() + slash + 1);
        spec.resize(slash);
    }
    if (spec.empty())
        return;
    if (spec == "GetCalInterface")
        State().nullInterface = true;
    else
        FailOperation(spec.c_str(), text.c_str(), skip, times);
}

void ResetAll(uint32_t seed, bool virtualClock)
{
    Core &core = State();
    core.interface.reset();
    core.connected = false;
    core.nullInterface = false;
    core.faults.clear();
    core.callCounts.clear();
    core.callLog.clear();
    core.random.seed(seed);
    core.virtualClock = virtualClock;
    core.virtualMs = 0;
    for (ResetFunction f : ResetFunctions())
        f();
}

// The environment is read once, at the first call into the library (every
// area has registered its reset by then, at load time).
void LoadEnvironment()
{
    static bool loaded = false;
    if (loaded)
        return;
    loaded = true;
    const char *seed = std::getenv("CALSIM_SEED");
    ResetAll(seed ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 0)) : 1u, seed != nullptr);
    if (const char *faults = std::getenv("CALSIM_FAULTS")) {
        std::string all = faults;
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(';', start);
            if (end == std::string::npos)
                end = all.size();
            ParseFault(all.substr(start, end - start));
            start = end + 1;
        }
    }
    // A whole finite number of degrees, or nothing: a typo must not pass
    // for a temperature.
    if (const char *celsius = std::getenv("CALSIM_TEMPERATURE")) {
        char *end = nullptr;
        double value = std::strtod(celsius, &end);
        if (end != celsius && *end == '\0' && std::isfinite(value))
            ForceTemperature(value);
    }
}

const char *CheckFault(const std::string &name)
{
    Core &core = State();
    auto it = core.faults.find(name);
    if (it == core.faults.end())
        return nullptr;
    Fault &fault = it->second;
    return fault.count.Hit() ? Text(fault.text) : nullptr;
}

void Record(const char *name)
{
    LoadEnvironment();
    Core &core = State();
    ++core.callCounts[name];
    core.callLog.emplace_back(name);
    if (core.virtualClock)
        core.virtualMs += 10; // each exchange with the device takes its time
}

} // namespace

// A spent fault (times 0) never hits again, so its skip need not count down.
bool FaultCount::Hit()
{
    if (times == 0)
        return false;
    if (skip > 0) {
        --skip;
        return false;
    }
    if (times > 0)
        --times;
    return true;
}

ResetRegistration::ResetRegistration(ResetFunction f)
{
    ResetFunctions().push_back(f);
    f();
}

const char *Text(const std::string &text)
{
    static std::set<std::string> texts;
    return texts.insert(text).first->c_str();
}

const char *Textf(const char *fmt, ...)
{
    char buffer[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    va_end(ap);
    return Text(buffer);
}

const char *EnterNoHandle(const char *name)
{
    Record(name);
    return CheckFault(name);
}

const char *Enter(const char *name, TavrelCalHandle handle, bool needDevice)
{
    Record(name);
    Core &core = State();
    if (handle == nullptr || handle != core.interface.get())
        return "Invalid Cal API interface handle";
    if (const char *fault = CheckFault(name))
        return fault;
    if (needDevice && !core.connected)
        return "Device is not connected";
    return nullptr;
}

uint32_t RandomU32()
{
    return static_cast<uint32_t>(State().random());
}

double RandomUniform(double low, double high)
{
    return low + (high - low) * (static_cast<double>(RandomU32()) / 4294967296.0);
}

uint32_t OptionValue(uint32_t id)
{
    return id < 8 ? g_optionValues[id] : 0;
}

// Control API

void Reset(uint32_t seed)
{
    LoadEnvironment();
    ResetAll(seed, true);
}

void FailOperation(const char *name, const char *text, int skip, int times)
{
    LoadEnvironment();
    State().faults[name] = Fault{text ? text : "Simulated failure", {.skip = skip, .times = times}};
}

void ClearFaults()
{
    LoadEnvironment();
    State().faults.clear();
    State().nullInterface = false;
}

void SetNullInterface(bool on)
{
    LoadEnvironment();
    State().nullInterface = on;
}

int CallCount(const char *name)
{
    auto &counts = State().callCounts;
    auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
}

std::vector<std::string> CallLog()
{
    return State().callLog;
}

bool IsConnected()
{
    return State().connected;
}

void ForceOptionValue(uint32_t id, uint32_t value)
{
    LoadEnvironment();
    if (id < 8)
        g_optionValues[id] = value;
}

double NowMs()
{
    Core &core = State();
    if (core.virtualClock)
        return core.virtualMs;
    auto elapsed = std::chrono::steady_clock::now() - g_loadTime;
    return std::chrono::duration<double, std::milli>(elapsed).count();
}

} // namespace calsim

using namespace calsim;

namespace calsim::model {

TavrelCalHandle GetCalInterface(uint32_t interfaceType, const char *address, uint32_t number)
{
    if (EnterNoHandle("GetCalInterface") != nullptr || State().nullInterface)
        return nullptr;
    auto interface = std::make_unique<Interface>();
    interface->type = interfaceType;
    interface->number = number;
    switch (interfaceType) {
    case TAVREL_IF_LOCAL:
        break;
    case TAVREL_IF_ETHERNET_PROXY: {
        // Only a dotted-decimal IPv4 address would reach a proxy; no
        // connection is ever opened by the simulation.
        in_addr parsed{};
        if (address == nullptr || inet_pton(AF_INET, address, &parsed) != 1)
            return nullptr;
        interface->address = address;
        break;
    }
    case TAVREL_IF_SERIAL_PROXY:
        if (address == nullptr || address[0] == '\0' || number == 0)
            return nullptr;
        interface->address = address;
        break;
    default:
        return nullptr;
    }
    Core &core = State();
    core.connected = false;
    core.interface = std::move(interface);
    return core.interface.get();
}

int CloseCalInterface(void)
{
    EnterNoHandle("CloseCalInterface");
    DumpDevDataIfAsked();
    Core &core = State();
    core.connected = false;
    core.interface.reset();
    return 0;
}

TavrelResult ConnectDevice(TavrelCalHandle h)
{
    if (const char *error = Enter("ConnectDevice", h, false))
        return error;
    State().connected = true;
    return nullptr;
}

TavrelResult DisconnectDevice(TavrelCalHandle h)
{
    if (const char *error = Enter("DisconnectDevice", h, false))
        return error;
    if (!State().connected)
        return "Device is not connected";
    State().connected = false;
    return nullptr;
}

const TavrelOptionInfo *GetOptionInfo(uint32_t index)
{
    EnterNoHandle("GetOptionInfo");
    // Never null: an index beyond the table gets the last option's record.
    return &kOptions[index < 8 ? index : 7];
}

TavrelResult GetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t *value)
{
    if (const char *error = Enter("GetOptionByID", h, false))
        return error;
    if (optionId >= 8)
        return Textf("Invalid option ID %u", optionId);
    if (kOptions[optionId].reserved)
        return Textf("Option %u is reserved", optionId);
    if (value == nullptr)
        return "Invalid parameter";
    *value = g_optionValues[optionId];
    return nullptr;
}

TavrelResult SetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t value)
{
    if (const char *error = Enter("SetOptionByID", h, false))
        return error;
    if (optionId >= 8)
        return Textf("Invalid option ID %u", optionId);
    const TavrelOptionInfo &info = kOptions[optionId];
    if (info.reserved)
        return Textf("Option %u is reserved", optionId);
    if (value < info.minValue || value > info.maxValue)
        return Textf("Value %u out of range for option %u (%u to %u)", value, optionId, info.minValue, info.maxValue);
    g_optionValues[optionId] = value;
    return nullptr;
}

TavrelResult EchoTest(TavrelCalHandle h, uint32_t messageLength)
{
    if (const char *error = Enter("EchoTest", h))
        return error;
    if (messageLength == 0)
        return "Echo test message length must be at least 1 byte";
    if (messageLength > 2040)
        return Textf("Echo test message length %u exceeds the maximum of 2040 bytes", messageLength);
    return nullptr;
}

} // namespace calsim::model
