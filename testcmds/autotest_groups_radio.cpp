// Automated test groups for configuration, Rx and Tx: each setting is
// written, given time to settle, read back and judged; the original
// setting is put back where the script says so. A verdict on a read that
// failed is FAIL, whatever the variable read into still holds; a value read
// and shown but not judged is a measurement when its read succeeded.
#include "commands/config_commands.h"
#include "commands/rx_commands.h"
#include "console/console_io.h"
#include "console/clock.h"
#include "console/run_events.h"
#include "testcmds/automated_test.h"
#include "testcmds/device_mode_stack.h"

namespace {

constexpr uint32_t kLastDutMode = 5;

struct Band {
    uint32_t frequency;
    uint32_t bandwidth;
};

// Writes the band, re-syncs, waits and judges the read-back; returns the
// values read (left as they were when the read fails).
void CheckBand(TavrelCalHandle handle, Band wanted, Band &read)
{
    con::Print("Write: Freq = %7u - BW = %5u\n", wanted.frequency, wanted.bandwidth);
    PrintIfError(SetBandConfig(handle, wanted.frequency, wanted.bandwidth));
    // Not shown: the read-back judges. A recorded run still notes it.
    results::LibraryError(ForceReSync(handle));
    SleepMs(kSettleMs);
    const char *readError = GetBandConfig(handle, &read.frequency, &read.bandwidth);
    PrintIfError(readError);
    con::Print("Read:  Freq = %7u - BW = %5u ", read.frequency, read.bandwidth);
    con::Print("%s\n",
               results::JudgeRead(readError, read.frequency == wanted.frequency && read.bandwidth == wanted.bandwidth,
                                  {{"Center frequency", double(read.frequency), double(wanted.frequency), "kHz"},
                                   {"Bandwidth", double(read.bandwidth), double(wanted.bandwidth), "kHz"}}));
}

void CheckCwOffset(TavrelCalHandle handle, int32_t wanted, int32_t &read)
{
    con::Print("Write: CW offset = %d\n", wanted);
    PrintIfError(SetCWOffset(handle, wanted));
    SleepMs(kSettleMs);
    const char *readError = GetCWOffset(handle, &read);
    PrintIfError(readError);
    con::Print("Read:  CW offset = %d ", read);
    con::Print("%s\n",
               results::JudgeRead(readError, read == wanted, {{"CW offset", double(read), double(wanted), "kHz"}}));
}

void PrintDeviceMode(TavrelCalHandle handle)
{
    uint32_t mode = 0;
    uint32_t modulation = 0;
    // Shown as read, not examined: a failed read prints no error line (a
    // recorded run notes it), and its zeros are not measurements.
    const char *error = GetDeviceMode(handle, &mode, &modulation);
    results::LibraryError(error);
    con::Print("Device mode     = %u\n", mode);
    con::Print("Modulation type = %u\n", modulation);
    if (error == nullptr) {
        results::Measure("DUT mode", mode);
        results::Measure("Modulation type", modulation);
    }
}

struct RxGain {
    uint32_t extLna;
    uint32_t lnaGain;
    uint32_t mixerGain;
    uint32_t pgaIndex;
    double total;
};

const char *ReadRxGain(TavrelCalHandle handle, uint32_t path, RxGain &gain)
{
    int32_t pga = static_cast<int32_t>(gain.pgaIndex);
    const char *error = GetRxGainState(handle, path, &gain.extLna, &gain.lnaGain, &gain.mixerGain, &pga, &gain.total);
    gain.pgaIndex = static_cast<uint32_t>(pga);
    return error;
}

// Every field moved to another valid setting, so the read-back shows a change.
RxGain NextRxGain(const RxGain &read)
{
    RxGain next = read;
    next.extLna = 1 - read.extLna;
    next.lnaGain = (read.lnaGain + 1) % 3;
    next.mixerGain = 1 - read.mixerGain;
    next.pgaIndex = (read.pgaIndex + 5) & 31;
    return next;
}

bool SameRxGain(const RxGain &a, const RxGain &b)
{
    return a.extLna == b.extLna && a.lnaGain == b.lnaGain && a.mixerGain == b.mixerGain && a.pgaIndex == b.pgaIndex;
}

// The names GetRxGainState's handler records too; the total gain is shown
// but never judged.
const char *const kRxGainNames[2][5] = {
    {"Rx path 0 external LNA", "Rx path 0 LNA gain", "Rx path 0 mixer gain", "Rx path 0 PGA index",
     "Rx path 0 total gain"},
    {"Rx path 1 external LNA", "Rx path 1 LNA gain", "Rx path 1 mixer gain", "Rx path 1 PGA index",
     "Rx path 1 total gain"},
};

void MeasureRxGain(uint32_t path, const RxGain &gain)
{
    const char *const *names = kRxGainNames[path & 1];
    results::Measure(names[0], gain.extLna);
    results::Measure(names[1], gain.lnaGain);
    results::Measure(names[2], gain.mixerGain);
    results::Measure(names[3], gain.pgaIndex);
    results::Measure(names[4], gain.total, "dB");
}

const char *JudgeRxGain(const char *readError, uint32_t path, const RxGain &wrote, const RxGain &read)
{
    const char *const *names = kRxGainNames[path & 1];
    if (readError == nullptr)
        results::Measure(names[4], read.total, "dB");
    return results::JudgeRead(readError, SameRxGain(wrote, read),
                              {{names[0], double(read.extLna), double(wrote.extLna), nullptr},
                               {names[1], double(read.lnaGain), double(wrote.lnaGain), nullptr},
                               {names[2], double(read.mixerGain), double(wrote.mixerGain), nullptr},
                               {names[3], double(read.pgaIndex), double(wrote.pgaIndex), nullptr}});
}

struct TxAttn {
    double backoff;
    uint32_t pga;
    uint32_t driver;
    uint32_t extAtt;
};

const char *ReadTxAttn(TavrelCalHandle handle, TxAttn &read)
{
    const char *error = GetTx1Attn(handle, &read.backoff, &read.pga, &read.driver, &read.extAtt);
    PrintIfError(error);
    return error;
}

void CheckTxAttn(TavrelCalHandle handle, const TxAttn &wanted, bool settle, TxAttn &read)
{
    PrintIfError(SetTx1Attn(handle, wanted.backoff, wanted.pga, wanted.driver, wanted.extAtt));
    con::Print("Wrote: Backoff=%5.2f PGA=%2u Driver=%2u ExtAtt=%u\n", wanted.backoff, wanted.pga, wanted.driver,
               wanted.extAtt);
    if (settle)
        SleepMs(kSettleMs);
    const char *readError = ReadTxAttn(handle, read);
    con::Print("Read:  Backoff=%5.2f PGA=%2u Driver=%2u ExtAtt=%u ", read.backoff, read.pga, read.driver, read.extAtt);
    bool same = read.backoff == wanted.backoff && read.pga == wanted.pga && read.driver == wanted.driver &&
                read.extAtt == wanted.extAtt;
    con::Print("%s\n",
               results::JudgeRead(readError, same,
                                  {{"Tx1 backoff", read.backoff, wanted.backoff, "dB"},
                                   {"Tx1 PGA", double(read.pga), double(wanted.pga), nullptr},
                                   {"Tx1 driver", double(read.driver), double(wanted.driver), nullptr},
                                   {"Tx1 external attenuator", double(read.extAtt), double(wanted.extAtt), nullptr}}));
}

} // namespace

int RunConfigurationGroup(TavrelCalHandle handle)
{
    con::Print("\n");
    PrintSectionHeader("CONFIGURATION COMMAND GROUP");
    PrintSectionHeader("Get/SetDeviceMode");
    for (uint32_t mode = 0; mode <= kLastDutMode; ++mode) {
        con::Print("\n");
        PushDeviceMode(handle, mode, kModulation16Qam);
        CmdGetDeviceMode(handle);
        PopDeviceMode(handle);
    }
    // Not popped here: the rest of the script runs one level deeper, and the
    // driver's last pop re-applies this pair.
    PushDeviceMode(handle, kModeAgcFreeRun, kModulation16Qam);

    PrintSectionHeader("GetBandConfig and SetBandConfig");
    Band saved = {0, 0};
    const char *error = GetBandConfig(handle, &saved.frequency, &saved.bandwidth);
    PrintIfError(error);
    con::Print("Read:  Freq = %7u - BW = %5u\n", saved.frequency, saved.bandwidth);
    if (error == nullptr) {
        results::Measure("Center frequency", saved.frequency, "kHz");
        results::Measure("Bandwidth", saved.bandwidth, "kHz");
    }
    Band read = {0, 0};
    CheckBand(handle, Band{2500000, 10000}, read);
    CheckBand(handle, Band{2533500, 5000}, read);
    CheckBand(handle, saved, read);

    PrintSectionHeader("GetCWOffset and SetCWOffset");
    int32_t savedOffset = 0;
    error = GetCWOffset(handle, &savedOffset);
    PrintIfError(error);
    con::Print("Read:  CW offset = %d\n", savedOffset);
    if (error == nullptr)
        results::Measure("CW offset", savedOffset, "kHz");
    int32_t offset = 0;
    CheckCwOffset(handle, -5678, offset);
    CheckCwOffset(handle, 6123, offset);
    CheckCwOffset(handle, savedOffset, offset);
    return 0;
}

int RunRxGroup(TavrelCalHandle handle)
{
    con::Print("\n");
    PrintSectionHeader("GetRxAntConfig and SetRxAntConfig");
    CmdGetRxAntConfig(handle);
    con::Print("Setting to 0\n");
    PrintIfError(SetRxAntConfig(handle, 0));
    CmdGetRxAntConfig(handle);
    con::Print("Setting to 2\n");
    PrintIfError(SetRxAntConfig(handle, 2));
    CmdGetRxAntConfig(handle);
    CmdIsSync(handle);
    CmdForceReSync(handle);

    PrintSectionHeader("GetRxGainState and SetRxGainState");
    PrintDeviceMode(handle);
    // Outside the stack, on purpose; not shown, but a recorded run notes a failure.
    results::LibraryError(SetDeviceMode(handle, kModeCalibration, kModulation4Qam));
    con::Print("Set dev mode = %u\n", kModeCalibration);
    con::Print("Set mod type = %u\n", kModulation4Qam);
    PrintDeviceMode(handle);

    RxGain read = {0, 0, 0, 0, 0.0};
    RxGain readBack = {0, 0, 0, 0, 0.0};
    for (uint32_t path = 0; path <= 1; ++path) {
        const char *error = ReadRxGain(handle, path, read);
        PrintIfError(error);
        con::Print("Read  path %u: Ext LNA=%u - LNA=%u - Mixer=%u - PGA=%2u - Total=%g\n", path, read.extLna,
                   read.lnaGain, read.mixerGain, read.pgaIndex, read.total);
        if (error == nullptr)
            MeasureRxGain(path, read);
        RxGain wrote = NextRxGain(read);
        con::Print("Wrote path %u: Ext LNA=%u - LNA=%u - Mixer=%u - PGA=%2u\n", path, wrote.extLna, wrote.lnaGain,
                   wrote.mixerGain, wrote.pgaIndex);
        PrintIfError(SetRxGainState(handle, path, wrote.extLna, wrote.lnaGain, wrote.mixerGain,
                                    static_cast<int32_t>(wrote.pgaIndex)));
        const char *readError = ReadRxGain(handle, path, readBack);
        PrintIfError(readError);
        con::Print("Read  path %u: Ext LNA=%u - LNA=%u - Mixer=%u - PGA=%2u - Total=%g -- ", path, readBack.extLna,
                   readBack.lnaGain, readBack.mixerGain, readBack.pgaIndex, readBack.total);
        con::Print("%s\n\n", JudgeRxGain(readError, path, wrote, readBack));
    }

    PrintSectionHeader("GetRSSIReport, GetCINR, and related commands");
    CmdGetRSSIReport(handle);
    PushDeviceMode(handle, kModeNormal, kModulation4Qam);
    CmdGetCINR(handle);
    CmdGetPerAntCINR(handle);
    PopDeviceMode(handle);
    PushDeviceMode(handle, kModeAgcFreeRun, kModulation4Qam);
    CmdGetPerAntThermalNoise(handle);
    PopDeviceMode(handle);

    PrintSectionHeader("GetFrameErrorStatistics and ResetFrameErrorStatistics");
    CmdGetFrameErrorStatistics(handle);
    CmdResetFrameErrorStatistics(handle);
    CmdGetFrameErrorStatistics(handle);
    return 0;
}

int RunTxGroup(TavrelCalHandle handle)
{
    con::Print("\n");
    PrintSectionHeader("TX COMMAND GROUP");
    PrintSectionHeader("GetTx1Attn and SetTx1Attn");
    TxAttn read = {0.0, 0, 0, 0};
    if (ReadTxAttn(handle, read) == nullptr) {
        results::Measure("Tx1 backoff", read.backoff, "dB");
        results::Measure("Tx1 PGA", read.pga);
        results::Measure("Tx1 driver", read.driver);
        results::Measure("Tx1 external attenuator", read.extAtt);
    }
    con::Print("Read:  Backoff=%5.2f PGA=%2u Driver=%2u ExtAtt=%u\n", read.backoff, read.pga, read.driver, read.extAtt);
    CheckTxAttn(handle, TxAttn{-2.0, 9, 4, 1}, true, read);
    CheckTxAttn(handle, TxAttn{5.0, 4, 13, 0}, false, read); // left at these values

    PrintSectionHeader("GetTx1OutputPower and SetTx1OutputPower");
    static const struct {
        double dbm;
        const char *text;
    } kPowers[] = {
        {20.0, "Setting power to +20 dBm ..."},
        {-20.0, "Setting power to -20 dBm ..."},
        {10.0, "Setting power to +10 dBm ..."},
    };
    double power = 0.0;
    for (const auto &p : kPowers) {
        con::Print("%s", p.text);
        PrintIfError(SetTx1OutputPower(handle, p.dbm));
        const char *readError = GetTx1OutputPower(handle, &power);
        PrintIfError(readError);
        con::Print("Read %3g dBm  %s\n", power,
                   results::JudgeRead(readError, power == p.dbm,
                                      {{"Tx1 output power", power, p.dbm, "dBm"}})); // exact: -19.99 is not -20
    }

    PrintSectionHeader("GetTxDiversitySwitch and SetTxDiversitySwitch");
    static const uint32_t kSwitches[] = {0, 1, 0};
    uint32_t antennaSwitch = 0;
    for (uint32_t value : kSwitches) {
        con::Print("%s", value == 0 ? "Setting switch to 0 (antenna 1) ..." : "Setting switch to 1 (antenna 2) ...");
        PrintIfError(SetTxDiversitySwitch(handle, value));
        const char *readError = GetTxDiversitySwitch(handle, &antennaSwitch);
        PrintIfError(readError);
        con::Print("Read %d  %s\n", static_cast<int32_t>(antennaSwitch),
                   results::JudgeRead(readError, antennaSwitch == value,
                                      {{"Tx diversity switch", double(antennaSwitch), double(value), nullptr}}));
    }
    return 0;
}
