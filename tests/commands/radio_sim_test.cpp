// The simulated radio behind the Rx, Tx, loopback and other hardware
// commands: measurements that follow the settings, counters that follow the
// clock, refusals, bounded writes and determinism. (That the power-on device
// passes the automated test is checked with the automated test.)
#include "calsim/control_radio.h"
#include "tests/support/console_harness.h"

#include <cmath>
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

} // namespace

TEST(RadioSim, RssiFollowsTheGainStateAndTheAntennas)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    Rssi before = ReadRssi(h);
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
    EXPECT_DOUBLE_EQ(single.rssi[2], single.rssi[0]);
}

TEST(RadioSim, CinrAndNoiseFollowTheSignalAndTheExternalLna)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    // About 7 dB of CINR: only the lowest two burst profiles carry PDUs.
    calsim::SetBenchSignal(-94.0, -94.0);
    uint32_t counters[4];
    uint32_t tables[4][13];
    ASSERT_EQ(GetPDUErrorStatistics(h, &counters[0], &counters[1], &counters[2], &counters[3], tables[0], tables[1],
                                    tables[2], tables[3]),
              nullptr);
    EXPECT_GT(tables[0][1], 0u);
    EXPECT_EQ(tables[0][2], 0u);

    calsim::SetBenchSignal(-90.0, -90.0);
    double weak = 0.0;
    ASSERT_EQ(GetCINR(h, &weak), nullptr);
    EXPECT_NEAR(weak, 12.0, 1.0); // two paths of 9 dB each, combined

    double noise[2];
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
}

TEST(RadioSim, RefusesWhatNoDeviceTakesAndNeverWritesPastACapacity)
{
    Bench bench;
    TavrelCalHandle h = bench.handle();
    EXPECT_NE(SetTx1OutputPower(h, NAN), nullptr);
    EXPECT_NE(SetTx1Attn(h, INFINITY, 0, 0, 0), nullptr);

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
