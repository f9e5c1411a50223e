// The simulated radio behind the Rx, Tx, loopback and other hardware
// commands: what the automated test relies on after power-on, measurements
// that follow the settings, counters that follow the clock, determinism.
#include "calsim/control_radio.h"
#include "tests/support/console_harness.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

using testing_support::Bench;

namespace {

struct Rssi {
    double rssi[3];
    double adc[2];
    uint32_t clips[2];
    uint32_t samples;
};

Rssi ReadRssi(TavrelCalHandle h)
{
    Rssi r{};
    EXPECT_EQ(GetRSSIReport(h, &r.rssi[0], &r.rssi[1], &r.rssi[2], &r.adc[0], &r.adc[1], &r.clips[0], &r.clips[1],
                            &r.samples),
              nullptr);
    return r;
}

uint32_t GpioState(TavrelCalHandle h)
{
    uint32_t state = 0;
    uint32_t direction = 0;
    uint32_t permission = 0;
    EXPECT_EQ(ReadGPIOState(h, &state, &direction, &permission), nullptr);
    return state;
}

uint32_t Rfic(TavrelCalHandle h, uint32_t reg)
{
    uint32_t data = 0xDEAD;
    EXPECT_EQ(ReadRFICRegister(h, reg, 1, &data), nullptr);
    return data;
}

} // namespace

TEST(RadioSim, GainStateWritesOfTheAutomatedTestReadBack)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    for (uint32_t path = 0; path < 2; ++path) {
        uint32_t ext = 0;
        uint32_t lna = 0;
        uint32_t mixer = 0;
        int32_t pga = 0;
        double total = 0.0;
        ASSERT_EQ(GetRxGainState(h, path, &ext, &lna, &mixer, &pga, &total), nullptr);
        uint32_t newExt = 1 - ext;
        uint32_t newLna = (lna + 1) % 3;
        uint32_t newMixer = 1 - mixer;
        uint32_t newPga = (static_cast<uint32_t>(pga) + 5) & 31;
        ASSERT_EQ(SetRxGainState(h, path, newExt, newLna, newMixer, static_cast<int32_t>(newPga)), nullptr);
        ASSERT_EQ(GetRxGainState(h, path, &ext, &lna, &mixer, &pga, &total), nullptr);
        EXPECT_EQ(ext, newExt);
        EXPECT_EQ(lna, newLna);
        EXPECT_EQ(mixer, newMixer);
        EXPECT_EQ(static_cast<uint32_t>(pga), newPga);
    }
    // Every PGA index the prompt offers is taken, odd ones too.
    for (int32_t pga = 0; pga <= 31; ++pga)
        EXPECT_EQ(SetRxGainState(h, 2, 0, 2, 1, pga), nullptr) << pga;
}

TEST(RadioSim, TxWritesOfTheAutomatedTestReadBackExactly)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    struct Attn {
        double backoff;
        uint32_t pga, driver, ext;
    };
    for (Attn written : {Attn{-2.0, 9, 4, 1}, Attn{5.0, 4, 13, 0}}) {
        ASSERT_EQ(SetTx1Attn(h, written.backoff, written.pga, written.driver, written.ext), nullptr);
        Attn read{};
        ASSERT_EQ(GetTx1Attn(h, &read.backoff, &read.pga, &read.driver, &read.ext), nullptr);
        EXPECT_EQ(std::memcmp(&read.backoff, &written.backoff, sizeof(double)), 0);
        EXPECT_EQ(read.pga, written.pga);
        EXPECT_EQ(read.driver, written.driver);
        EXPECT_EQ(read.ext, written.ext);
    }
    for (double power : {20.0, -20.0, 10.0}) {
        ASSERT_EQ(SetTx1OutputPower(h, power), nullptr);
        double read = 0.0;
        ASSERT_EQ(GetTx1OutputPower(h, &read), nullptr);
        EXPECT_EQ(read, power);
    }
    for (uint32_t value : {0u, 1u, 0u}) {
        ASSERT_EQ(SetTxDiversitySwitch(h, value), nullptr);
        uint32_t read = 9;
        ASSERT_EQ(GetTxDiversitySwitch(h, &read), nullptr);
        EXPECT_EQ(read, value);
    }
    EXPECT_NE(SetTx1OutputPower(h, NAN), nullptr);
    EXPECT_NE(SetTx1Attn(h, INFINITY, 0, 0, 0), nullptr);
}

TEST(RadioSim, GpioLedPinsOfTheAutomatedTest)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    uint32_t state = 0;
    uint32_t direction = 0;
    uint32_t permission = 0;
    ASSERT_EQ(ReadGPIOState(h, &state, &direction, &permission), nullptr);
    uint32_t mask = ~direction & 0x1C00u;
    EXPECT_EQ(mask, 0x1C00u); // pins 10 to 12 are outputs at power-on
    ASSERT_EQ(SetGPIOConfiguration(h, mask), nullptr);
    for (uint32_t level : {0u, 1u}) {
        for (uint32_t pin : {10u, 11u, 12u})
            EXPECT_EQ(SetGPIOPinState(h, pin, level), nullptr);
        EXPECT_EQ(GpioState(h) & 0x1C00u, level ? 0x1C00u : 0u);
    }
    ASSERT_EQ(SetGPIOConfiguration(h, 0), nullptr);
    for (uint32_t pin : {10u, 11u, 12u}) {
        const char *error = SetGPIOPinState(h, pin, 0);
        ASSERT_NE(error, nullptr);
        EXPECT_GT(std::strlen(error), 0u);
    }
    EXPECT_EQ(GpioState(h) & 0x1C00u, 0x1C00u);

    // Input pins show the level outside, not what was last written.
    calsim::SetGpioInputLevel(0x00004000);
    EXPECT_EQ(GpioState(h) & 0xE000u, 0x4000u);
}

TEST(RadioSim, RficRegisterThirtyOfTheAutomatedTest)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    EXPECT_EQ(Rfic(h, 0), 0x5A31u);
    uint32_t saved = Rfic(h, 30);
    EXPECT_NE(saved, 0u);
    EXPECT_NE(saved, 0xFFFFu);
    for (uint32_t value : {0x0000u, 0x0000u, 0xFFFFu, saved}) {
        ASSERT_EQ(WriteRFICRegister(h, 30, value, 1), nullptr);
        EXPECT_EQ(Rfic(h, 30), value);
    }
    EXPECT_EQ(Rfic(h, 31), 0x1000u | (31 * 0x0101u & 0x0FFFu)); // neighbours untouched
}

TEST(RadioSim, RssiFollowsTheGainStateAndTheAntennas)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    Rssi before = ReadRssi(h);
    EXPECT_NEAR(before.rssi[0], -60.0, 0.25);
    EXPECT_NEAR(before.rssi[1], -61.5, 0.25);
    EXPECT_NEAR(before.adc[0] - before.rssi[0], 50.0, 1e-9);
    EXPECT_LT(before.clips[0], 100u);

    // 15 dB more in front of the ADC: most samples clip.
    ASSERT_EQ(SetRxGainState(h, 0, 1, 2, 1, 20), nullptr);
    Rssi loud = ReadRssi(h);
    EXPECT_NEAR(loud.adc[0] - loud.rssi[0], 65.0, 1e-9);
    EXPECT_GT(loud.clips[0], before.samples / 2);
    EXPECT_LT(loud.clips[1], 100u);

    // With Rx1 only, Rx2 hears its noise and the combined power is Rx1's.
    ASSERT_EQ(SetRxAntConfig(h, 0), nullptr);
    Rssi single = ReadRssi(h);
    EXPECT_LT(single.rssi[1], -95.0);
    EXPECT_EQ(single.clips[1], 0u);
    EXPECT_DOUBLE_EQ(single.rssi[2], single.rssi[0]);
}

TEST(RadioSim, CinrAndNoiseVaryALittleAndFollowTheSignal)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    double first = 0.0;
    double second = 0.0;
    ASSERT_EQ(GetCINR(h, &first), nullptr);
    ASSERT_EQ(GetCINR(h, &second), nullptr);
    EXPECT_NE(first, second);
    EXPECT_NEAR(first, second, 0.6);

    calsim::SetBenchSignal(-90.0, -90.0);
    double weak = 0.0;
    ASSERT_EQ(GetCINR(h, &weak), nullptr);
    EXPECT_NEAR(weak, 12.0, 1.0); // two paths of 9 dB each, combined

    double noise[2];
    ASSERT_EQ(GetPerAntThermalNoise(h, &noise[0], &noise[1]), nullptr);
    EXPECT_NEAR(noise[0], -99.0, 0.3);
    ASSERT_EQ(SetRxGainState(h, 0, 1, 2, 1, 20), nullptr); // the external LNA lowers the noise figure
    ASSERT_EQ(GetPerAntThermalNoise(h, &noise[0], &noise[1]), nullptr);
    EXPECT_NEAR(noise[0], -102.0, 0.3);
    EXPECT_NEAR(noise[1], -99.0, 0.3);
}

TEST(RadioSim, FrameCountersFollowTheClockAndLoseFramesWhileSearching)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    ASSERT_EQ(ResetFrameErrorStatistics(h), nullptr);
    uint32_t total = 0;
    uint32_t inError = 0;
    for (int i = 0; i < 99; ++i)
        ASSERT_EQ(GetRxAntConfig(h, &total), nullptr);
    ASSERT_EQ(GetFrameErrorStatistics(h, &total, &inError), nullptr);
    EXPECT_EQ(total, 200u); // 1000 ms of 5 ms frames
    EXPECT_EQ(inError, 0u);

    // A re-sync searches for 40 ms: eight frames lost.
    ASSERT_EQ(ForceReSync(h), nullptr);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(GetRxAntConfig(h, &total), nullptr);
    ASSERT_EQ(GetFrameErrorStatistics(h, &total, &inError), nullptr);
    EXPECT_EQ(total, 224u);
    EXPECT_EQ(inError, 8u);

    ASSERT_EQ(ResetFrameErrorStatistics(h), nullptr);
    ASSERT_EQ(GetFrameErrorStatistics(h, &total, &inError), nullptr);
    EXPECT_EQ(total, 2u);
    EXPECT_EQ(inError, 0u);
}

TEST(RadioSim, PduStatisticsUseTheProfilesTheLinkSupports)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    uint32_t counters[4];
    uint32_t tables[4][13];
    ASSERT_EQ(GetPDUErrorStatistics(h, &counters[0], &counters[1], &counters[2], &counters[3], tables[0], tables[1],
                                    tables[2], tables[3]),
              nullptr);
    EXPECT_GT(tables[0][6], 0u);
    EXPECT_EQ(tables[0][7], 0u);
    calsim::SetBenchSignal(-94.0, -94.0); // about 7 dB of CINR: the lowest two profiles only
    ASSERT_EQ(GetPDUErrorStatistics(h, &counters[0], &counters[1], &counters[2], &counters[3], tables[0], tables[1],
                                    tables[2], tables[3]),
              nullptr);
    EXPECT_GT(tables[0][1], 0u);
    EXPECT_EQ(tables[0][2], 0u);
    EXPECT_EQ(tables[3][2], 0u);
}

TEST(RadioSim, SpectrumNeverWritesPastTheCapacity)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    ASSERT_EQ(ResetRxSpectrum(h, 3, 1), nullptr);
    calsim::ForceSpectrumLength(3000);
    std::vector<double> table(24, 12345.0);
    uint32_t length = 0;
    ASSERT_EQ(GetRxSpectrum(h, 16, table.data(), &length), nullptr);
    EXPECT_EQ(length, 3000u);
    EXPECT_NE(table[15], 12345.0);
    for (std::size_t i = 16; i < table.size(); ++i)
        EXPECT_EQ(table[i], 12345.0) << i;
}

TEST(RadioSim, LoopbackResultsDependOnTheInputs)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    calsim::ForceDeviceMode(5, 0);
    double corr[12];
    double step[12];
    double losses[12];
    for (double &loss : losses)
        loss = 20.0;
    ASSERT_EQ(CalibrateTxPoutFreqCorr(h, 3, 0.5, losses, corr, step), nullptr);
    EXPECT_EQ(corr[3], 0.5);
    for (double s : step)
        EXPECT_NEAR(s, 15.2, 0.5);
    EXPECT_NE(CalibrateTxPoutFreqCorr(h, 12, 0.5, losses, corr, step), nullptr);

    // The LC trim codes move with the band.
    int32_t low[12];
    int32_t high[12];
    uint32_t count = 0;
    ASSERT_EQ(CalibrateLCTrim(h, low, &count), nullptr);
    ASSERT_EQ(SetBandConfig(h, 3500000, 10000), nullptr);
    ASSERT_EQ(CalibrateLCTrim(h, high, &count), nullptr);
    EXPECT_EQ(count, 12u);
    EXPECT_GE(low[0] - high[0], 8); // about 11 codes, give or take the one-code jitter
}

TEST(RadioSim, SameSeedSameMeasurements)
{
    auto measure = [](uint32_t seed) {
        Bench bench(seed);
        std::vector<double> values;
        for (int i = 0; i < 3; ++i) {
            Rssi r = ReadRssi(bench.handle());
            values.insert(values.end(), {r.rssi[0], r.adc[1], static_cast<double>(r.clips[0])});
            double t = 0.0;
            EXPECT_EQ(GetTemperature(bench.handle(), &t), nullptr);
            values.push_back(t);
        }
        return values;
    };
    EXPECT_EQ(measure(7), measure(7));
    EXPECT_NE(measure(7), measure(8));
}

// The fixed arguments of the automated test's loopback and hardware groups
// are all taken by the power-on device once it is in loopback mode.
TEST(RadioSim, AutomatedTestArgumentsAreAccepted)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    ASSERT_EQ(SetDeviceMode(h, 5, 0), nullptr);
    double pa[21];
    double pga[11];
    double losses[12] = {20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20};
    double corr[12];
    double step[12];
    double pairs[4][2];
    double values[3];
    int32_t indices[3];
    EXPECT_EQ(SetTRSwitch(h, 0), nullptr);
    EXPECT_EQ(CalibrateTxSteps(h, 2550, pa, pga), nullptr);
    EXPECT_EQ(CalibrateLimitedTxSteps(h, 2550, 9, pa, pga), nullptr);
    EXPECT_EQ(CalibrateTxPoutFreqCorr(h, 5, 0.0, losses, corr, step), nullptr);
    ASSERT_EQ(SetDeviceMode(h, 4, 0), nullptr);
    EXPECT_EQ(CalibrateLNASteps(h, 5, -40.0, -40.0, pairs[0], pairs[1], pairs[2], pairs[3]), nullptr);
    ASSERT_EQ(SetDeviceMode(h, 5, 0), nullptr);
    EXPECT_EQ(CalibrateTxExtAttnStep(h, 4, 0, &values[0], &values[1], &values[2], &indices[0], &indices[1],
                                     &indices[2]),
              nullptr);
    uint32_t adc = 0;
    for (uint32_t mux = 0; mux < 4; ++mux) {
        EXPECT_EQ(GetGPADCValue(h, mux, &adc), nullptr);
        EXPECT_EQ(SetGPDACValue(h, mux, 1.67), nullptr);
    }
    EXPECT_EQ(ResetRxSpectrum(h, 3, 1), nullptr);
    std::vector<double> spectrum(2048);
    uint32_t length = 0;
    EXPECT_EQ(GetRxSpectrum(h, 2048, spectrum.data(), &length), nullptr);
    EXPECT_EQ(length, 1024u);
}
