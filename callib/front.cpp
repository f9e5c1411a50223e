// The library front: the 75 C functions of the calibration interface. Each
// goes to the modem model in this process, or, for an interface opened in
// the proxy mode, over the link to the target that hosts the model.
#include "calapi/calapi.h"
#include "callib/proxy_client.h"
#include "calsim/model.h"
#include "calwire/calwire.h"

namespace {

namespace model = calsim::model;
namespace proxy = callib::proxy;

template <auto Model, const calwire::Operation &Operation, typename... A>
auto Route(TavrelCalHandle h, A... arguments) -> decltype(Model(h, arguments...))
{
    static_assert(calwire::Matches(Model, Operation), "the operation table disagrees with the interface");
    if (proxy::Owns(h))
        return proxy::Call<decltype(Model(h, arguments...))>(Operation, arguments...);
    return Model(h, arguments...);
}

// Types 1 and 2 reach a target only in the proxy mode; otherwise, and for
// the local type, the model in this process opens the interface.
bool ThroughProxy(uint32_t interfaceType)
{
    return proxy::Requested() && (interfaceType == TAVREL_IF_ETHERNET_PROXY || interfaceType == TAVREL_IF_SERIAL_PROXY);
}

} // namespace

extern "C" {

TavrelCalHandle GetCalInterface(uint32_t interfaceType, const char *address, uint32_t number)
{
    proxy::Close(); // one interface at a time, as in the model
    if (ThroughProxy(interfaceType))
        return proxy::Open(interfaceType, address, number);
    return model::GetCalInterface(interfaceType, address, number);
}

int CloseCalInterface(void)
{
    if (proxy::Owns(proxy::Handle()))
        return proxy::Close();
    return model::CloseCalInterface();
}

const TavrelOptionInfo *GetOptionInfo(uint32_t index)
{
    if (proxy::Owns(proxy::Handle()))
        return proxy::OptionInfo(index);
    return model::GetOptionInfo(index);
}

// A link that is down is opened again when the console connects.
TavrelResult ConnectDevice(TavrelCalHandle h)
{
    if (proxy::Owns(h)) {
        if (const char *error = proxy::Reconnect())
            return error;
    }
    return Route<&model::ConnectDevice, calwire::op::ConnectDevice>(h);
}

TavrelResult DisconnectDevice(TavrelCalHandle h)
{
    return Route<&model::DisconnectDevice, calwire::op::DisconnectDevice>(h);
}

TavrelResult GetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t *value)
{
    return Route<&model::GetOptionByID, calwire::op::GetOptionByID>(h, optionId, value);
}

TavrelResult SetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t value)
{
    return Route<&model::SetOptionByID, calwire::op::SetOptionByID>(h, optionId, value);
}

TavrelResult GetDeviceMode(TavrelCalHandle h, uint32_t *dutMode, uint32_t *modulation)
{
    return Route<&model::GetDeviceMode, calwire::op::GetDeviceMode>(h, dutMode, modulation);
}

TavrelResult SetDeviceMode(TavrelCalHandle h, uint32_t dutMode, uint32_t modulation)
{
    return Route<&model::SetDeviceMode, calwire::op::SetDeviceMode>(h, dutMode, modulation);
}

TavrelResult GetBandConfig(TavrelCalHandle h, uint32_t *centerFreqKHz, uint32_t *bandwidthKHz)
{
    return Route<&model::GetBandConfig, calwire::op::GetBandConfig>(h, centerFreqKHz, bandwidthKHz);
}

TavrelResult SetBandConfig(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t bandwidthKHz)
{
    return Route<&model::SetBandConfig, calwire::op::SetBandConfig>(h, centerFreqKHz, bandwidthKHz);
}

TavrelResult GetCWOffset(TavrelCalHandle h, int32_t *offsetKHz)
{
    return Route<&model::GetCWOffset, calwire::op::GetCWOffset>(h, offsetKHz);
}

TavrelResult SetCWOffset(TavrelCalHandle h, int32_t offsetKHz)
{
    return Route<&model::SetCWOffset, calwire::op::SetCWOffset>(h, offsetKHz);
}

TavrelResult GetRxAntConfig(TavrelCalHandle h, uint32_t *config)
{
    return Route<&model::GetRxAntConfig, calwire::op::GetRxAntConfig>(h, config);
}

TavrelResult SetRxAntConfig(TavrelCalHandle h, uint32_t config)
{
    return Route<&model::SetRxAntConfig, calwire::op::SetRxAntConfig>(h, config);
}

TavrelResult IsSync(TavrelCalHandle h, double *freqOffsetPpm, uint32_t *syncFreqKHz, uint32_t *syncStatus)
{
    return Route<&model::IsSync, calwire::op::IsSync>(h, freqOffsetPpm, syncFreqKHz, syncStatus);
}

TavrelResult ForceReSync(TavrelCalHandle h)
{
    return Route<&model::ForceReSync, calwire::op::ForceReSync>(h);
}

TavrelResult SetAGCMode(TavrelCalHandle h, uint32_t mode, uint32_t backoffDb)
{
    return Route<&model::SetAGCMode, calwire::op::SetAGCMode>(h, mode, backoffDb);
}

TavrelResult GetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t *extLna, uint32_t *lnaGain, uint32_t *mixerGain,
                            int32_t *pgaIndex, double *totalGain)
{
    return Route<&model::GetRxGainState, calwire::op::GetRxGainState>(h, path, extLna, lnaGain, mixerGain, pgaIndex,
                                                                      totalGain);
}

TavrelResult SetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t extLna, uint32_t lnaGain, uint32_t mixerGain,
                            int32_t pgaIndex)
{
    return Route<&model::SetRxGainState, calwire::op::SetRxGainState>(h, path, extLna, lnaGain, mixerGain, pgaIndex);
}

TavrelResult GetRSSIReport(TavrelCalHandle h, double *rx1Rssi, double *rx2Rssi, double *combinedRssi,
                           double *rx1AdcPower, double *rx2AdcPower, uint32_t *rx1ClipCount, uint32_t *rx2ClipCount,
                           uint32_t *adcSamples)
{
    return Route<&model::GetRSSIReport, calwire::op::GetRSSIReport>(
        h, rx1Rssi, rx2Rssi, combinedRssi, rx1AdcPower, rx2AdcPower, rx1ClipCount, rx2ClipCount, adcSamples);
}

TavrelResult GetCINR(TavrelCalHandle h, double *cinrDb)
{
    return Route<&model::GetCINR, calwire::op::GetCINR>(h, cinrDb);
}

TavrelResult GetPerAntCINR(TavrelCalHandle h, double *combinedDb, double *ant1Db, double *ant2Db)
{
    return Route<&model::GetPerAntCINR, calwire::op::GetPerAntCINR>(h, combinedDb, ant1Db, ant2Db);
}

TavrelResult GetPerAntThermalNoise(TavrelCalHandle h, double *ant1Dbm, double *ant2Dbm)
{
    return Route<&model::GetPerAntThermalNoise, calwire::op::GetPerAntThermalNoise>(h, ant1Dbm, ant2Dbm);
}

TavrelResult ResetFrameErrorStatistics(TavrelCalHandle h)
{
    return Route<&model::ResetFrameErrorStatistics, calwire::op::ResetFrameErrorStatistics>(h);
}

TavrelResult GetFrameErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError)
{
    return Route<&model::GetFrameErrorStatistics, calwire::op::GetFrameErrorStatistics>(h, totalFrames, framesInError);
}

TavrelResult GetPDUErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError,
                                   uint32_t *fchErrors, uint32_t *dlMapErrors, uint32_t pduCount[TAVREL_PDU_DIUC_COUNT],
                                   uint32_t hcsErrors[TAVREL_PDU_DIUC_COUNT], uint32_t crcErrors[TAVREL_PDU_DIUC_COUNT],
                                   uint32_t burstSizes[TAVREL_PDU_DIUC_COUNT])
{
    return Route<&model::GetPDUErrorStatistics, calwire::op::GetPDUErrorStatistics>(
        h, totalFrames, framesInError, fchErrors, dlMapErrors, pduCount, hcsErrors, crcErrors, burstSizes);
}

TavrelResult GetTx1Attn(TavrelCalHandle h, double *bbicBackoffDb, uint32_t *pgaIndex, uint32_t *paDriverIndex,
                        uint32_t *extAttenuator)
{
    return Route<&model::GetTx1Attn, calwire::op::GetTx1Attn>(h, bbicBackoffDb, pgaIndex, paDriverIndex, extAttenuator);
}

TavrelResult SetTx1Attn(TavrelCalHandle h, double bbicBackoffDb, uint32_t pgaIndex, uint32_t paDriverIndex,
                        uint32_t extAttenuator)
{
    return Route<&model::SetTx1Attn, calwire::op::SetTx1Attn>(h, bbicBackoffDb, pgaIndex, paDriverIndex, extAttenuator);
}

TavrelResult GetTx1OutputPower(TavrelCalHandle h, double *powerDbm)
{
    return Route<&model::GetTx1OutputPower, calwire::op::GetTx1OutputPower>(h, powerDbm);
}

TavrelResult SetTx1OutputPower(TavrelCalHandle h, double powerDbm)
{
    return Route<&model::SetTx1OutputPower, calwire::op::SetTx1OutputPower>(h, powerDbm);
}

TavrelResult GetTxDiversitySwitch(TavrelCalHandle h, uint32_t *antennaSwitch)
{
    return Route<&model::GetTxDiversitySwitch, calwire::op::GetTxDiversitySwitch>(h, antennaSwitch);
}

TavrelResult SetTxDiversitySwitch(TavrelCalHandle h, uint32_t antennaSwitch)
{
    return Route<&model::SetTxDiversitySwitch, calwire::op::SetTxDiversitySwitch>(h, antennaSwitch);
}

TavrelResult SetTRSwitch(TavrelCalHandle h, uint32_t state)
{
    return Route<&model::SetTRSwitch, calwire::op::SetTRSwitch>(h, state);
}

TavrelResult CalibrateLCTrim(TavrelCalHandle h, int32_t lcTrim[TAVREL_LCTRIM_COUNT], uint32_t *count)
{
    return Route<&model::CalibrateLCTrim, calwire::op::CalibrateLCTrim>(h, lcTrim, count);
}

TavrelResult CalibrateTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, double paDrvSteps[TAVREL_TX_PADRV_STEPS],
                              double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    return Route<&model::CalibrateTxSteps, calwire::op::CalibrateTxSteps>(h, centerFreqKHz, paDrvSteps, pgaSteps);
}

TavrelResult CalibrateLimitedTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t minPaDrvIndex,
                                     double paDrvSteps[TAVREL_TX_PADRV_STEPS], double pgaSteps[TAVREL_TX_PGA_STEPS])
{
    return Route<&model::CalibrateLimitedTxSteps, calwire::op::CalibrateLimitedTxSteps>(h, centerFreqKHz, minPaDrvIndex,
                                                                                        paDrvSteps, pgaSteps);
}

TavrelResult CalibrateTxPoutFreqCorr(TavrelCalHandle h, uint32_t scanListIndex, double correctionDb,
                                     const double cableLoss[TAVREL_SCAN_LIST_SIZE],
                                     double freqCorr[TAVREL_SCAN_LIST_SIZE], double extAttnStep[TAVREL_SCAN_LIST_SIZE])
{
    return Route<&model::CalibrateTxPoutFreqCorr, calwire::op::CalibrateTxPoutFreqCorr>(
        h, scanListIndex, correctionDb, cableLoss, freqCorr, extAttnStep);
}

TavrelResult CalibrateLNASteps(TavrelCalHandle h, uint32_t scanListIndex, double rx1AmplitudeDbm,
                               double rx2AmplitudeDbm, double pgaGainCorr[2], double lnaMidStep[2],
                               double lnaHighStep[2], double lnaExtStep[2])
{
    return Route<&model::CalibrateLNASteps, calwire::op::CalibrateLNASteps>(
        h, scanListIndex, rx1AmplitudeDbm, rx2AmplitudeDbm, pgaGainCorr, lnaMidStep, lnaHighStep, lnaExtStep);
}

TavrelResult CalibrateTxExtAttnStep(TavrelCalHandle h, uint32_t freqIndex, uint32_t calType, double *stepGainDb,
                                    double *loopbackAmplitudeDb, double *backoffDb, int32_t *pgaIndex,
                                    int32_t *paDriverIndex, int32_t *extAttnEnable)
{
    return Route<&model::CalibrateTxExtAttnStep, calwire::op::CalibrateTxExtAttnStep>(
        h, freqIndex, calType, stepGainDb, loopbackAmplitudeDb, backoffDb, pgaIndex, paDriverIndex, extAttnEnable);
}

TavrelResult ReadGPIOState(TavrelCalHandle h, uint32_t *pinState, uint32_t *pinDirection, uint32_t *writePermission)
{
    return Route<&model::ReadGPIOState, calwire::op::ReadGPIOState>(h, pinState, pinDirection, writePermission);
}

TavrelResult SetGPIOConfiguration(TavrelCalHandle h, uint32_t writePermission)
{
    return Route<&model::SetGPIOConfiguration, calwire::op::SetGPIOConfiguration>(h, writePermission);
}

TavrelResult SetGPIOPinState(TavrelCalHandle h, uint32_t pin, uint32_t state)
{
    return Route<&model::SetGPIOPinState, calwire::op::SetGPIOPinState>(h, pin, state);
}

TavrelResult ReadRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t timing, uint32_t *data)
{
    return Route<&model::ReadRFICRegister, calwire::op::ReadRFICRegister>(h, reg, timing, data);
}

TavrelResult WriteRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t data, uint32_t timing)
{
    return Route<&model::WriteRFICRegister, calwire::op::WriteRFICRegister>(h, reg, data, timing);
}

TavrelResult GetTemperature(TavrelCalHandle h, double *celsius)
{
    return Route<&model::GetTemperature, calwire::op::GetTemperature>(h, celsius);
}

TavrelResult GetGPADCValue(TavrelCalHandle h, uint32_t mux, uint32_t *value)
{
    return Route<&model::GetGPADCValue, calwire::op::GetGPADCValue>(h, mux, value);
}

TavrelResult SetGPDACValue(TavrelCalHandle h, uint32_t mux, double volts)
{
    return Route<&model::SetGPDACValue, calwire::op::SetGPDACValue>(h, mux, volts);
}

TavrelResult ResetRxSpectrum(TavrelCalHandle h, uint32_t iirShift, uint32_t symbolIndex)
{
    return Route<&model::ResetRxSpectrum, calwire::op::ResetRxSpectrum>(h, iirShift, symbolIndex);
}

TavrelResult GetRxSpectrum(TavrelCalHandle h, uint32_t capacity, double *spectrum, uint32_t *length)
{
    return Route<&model::GetRxSpectrum, calwire::op::GetRxSpectrum>(h, capacity, spectrum, length);
}

TavrelResult GetVersionInfo(TavrelCalHandle h, uint32_t *phyFirmware, uint32_t macFirmware[3],
                            char driverVersion[TAVREL_DRIVER_VERSION_SIZE], uint32_t calApiVersion[3],
                            uint32_t *basebandChip, uint32_t *rfChip)
{
    return Route<&model::GetVersionInfo, calwire::op::GetVersionInfo>(h, phyFirmware, macFirmware, driverVersion,
                                                                      calApiVersion, basebandChip, rfChip);
}

TavrelResult LoadDevData(TavrelCalHandle h, uint32_t loadMode)
{
    return Route<&model::LoadDevData, calwire::op::LoadDevData>(h, loadMode);
}

TavrelResult IsDevDataValid(TavrelCalHandle h, int32_t *valid)
{
    return Route<&model::IsDevDataValid, calwire::op::IsDevDataValid>(h, valid);
}

TavrelResult AreDevDataChecksumsValidArray(TavrelCalHandle h, uint8_t valid[TAVREL_DEVDATA_BLOCKS],
                                           uint32_t *blockCount)
{
    return Route<&model::AreDevDataChecksumsValidArray, calwire::op::AreDevDataChecksumsValidArray>(h, valid,
                                                                                                    blockCount);
}

TavrelResult GetDevDataChecksumsArray(TavrelCalHandle h, uint16_t checksums[TAVREL_DEVDATA_BLOCKS],
                                      uint32_t *blockCount)
{
    return Route<&model::GetDevDataChecksumsArray, calwire::op::GetDevDataChecksumsArray>(h, checksums, blockCount);
}

TavrelResult IsCalibrationValid(TavrelCalHandle h, int32_t *valid)
{
    return Route<&model::IsCalibrationValid, calwire::op::IsCalibrationValid>(h, valid);
}

TavrelResult GetCalibrationInfo(TavrelCalHandle h, uint8_t *calFlag, uint8_t *vendorId, uint8_t date[4],
                                uint8_t time[4], uint8_t swVersion[4])
{
    return Route<&model::GetCalibrationInfo, calwire::op::GetCalibrationInfo>(h, calFlag, vendorId, date, time,
                                                                              swVersion);
}

TavrelResult GetMACAddress(TavrelCalHandle h, uint8_t mac[6])
{
    return Route<&model::GetMACAddress, calwire::op::GetMACAddress>(h, mac);
}

TavrelResult GetDevDataSize(TavrelCalHandle h, int32_t *sizeBytes)
{
    return Route<&model::GetDevDataSize, calwire::op::GetDevDataSize>(h, sizeBytes);
}

TavrelResult GetDevDataInfo(TavrelCalHandle h, uint32_t *nvmType, int32_t *sizeBytes, uint32_t *flashMapType)
{
    return Route<&model::GetDevDataInfo, calwire::op::GetDevDataInfo>(h, nvmType, sizeBytes, flashMapType);
}

TavrelResult GetFlash2xDevDataInfo(TavrelCalHandle h, uint32_t sectionFlags[3])
{
    return Route<&model::GetFlash2xDevDataInfo, calwire::op::GetFlash2xDevDataInfo>(h, sectionFlags);
}

TavrelResult SelectActiveDevDataSection(TavrelCalHandle h, uint32_t section)
{
    return Route<&model::SelectActiveDevDataSection, calwire::op::SelectActiveDevDataSection>(h, section);
}

TavrelResult SelectCurrentDevDataSection(TavrelCalHandle h, uint32_t section)
{
    return Route<&model::SelectCurrentDevDataSection, calwire::op::SelectCurrentDevDataSection>(h, section);
}

TavrelResult CopyDevDataSection(TavrelCalHandle h, uint32_t sourceSection, uint32_t targetSection, uint32_t byteCount,
                                uint32_t startOffset)
{
    return Route<&model::CopyDevDataSection, calwire::op::CopyDevDataSection>(h, sourceSection, targetSection,
                                                                              byteCount, startOffset);
}

TavrelResult InitializeFlash(TavrelCalHandle h, uint32_t desiredSectorSize, uint32_t *actualSectorSize)
{
    return Route<&model::InitializeFlash, calwire::op::InitializeFlash>(h, desiredSectorSize, actualSectorSize);
}

TavrelResult ReadDevDataBlock(TavrelCalHandle h, uint32_t *buffer, uint32_t wordCount, uint32_t address)
{
    return Route<&model::ReadDevDataBlock, calwire::op::ReadDevDataBlock>(h, buffer, wordCount, address);
}

TavrelResult ReadDevDataBytes(TavrelCalHandle h, uint8_t *buffer, uint32_t byteCount, uint32_t address)
{
    return Route<&model::ReadDevDataBytes, calwire::op::ReadDevDataBytes>(h, buffer, byteCount, address);
}

TavrelResult GetDevDataRegionSizeByID(TavrelCalHandle h, int32_t regionId, int32_t *regionSize)
{
    return Route<&model::GetDevDataRegionSizeByID, calwire::op::GetDevDataRegionSizeByID>(h, regionId, regionSize);
}

TavrelResult ReadDevDataRegionByID(TavrelCalHandle h, int32_t regionId, int32_t regionSize, uint8_t *buffer,
                                   uint32_t *bytesReturned)
{
    return Route<&model::ReadDevDataRegionByID, calwire::op::ReadDevDataRegionByID>(h, regionId, regionSize, buffer,
                                                                                    bytesReturned);
}

uint32_t RequestDevDataWriteKey(TavrelCalHandle h)
{
    return Route<&model::RequestDevDataWriteKey, calwire::op::RequestDevDataWriteKey>(h);
}

TavrelResult WriteDevDataBlock(TavrelCalHandle h, uint32_t key, const uint32_t *data, uint32_t wordCount,
                               uint32_t address, uint32_t *wordsWritten)
{
    return Route<&model::WriteDevDataBlock, calwire::op::WriteDevDataBlock>(h, key, data, wordCount, address,
                                                                            wordsWritten);
}

TavrelResult WriteDevDataBytes(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                               uint32_t address, uint32_t *bytesWritten)
{
    return Route<&model::WriteDevDataBytes, calwire::op::WriteDevDataBytes>(h, key, data, byteCount, address,
                                                                            bytesWritten);
}

TavrelResult WriteFlash2xBytesWithHeader(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                                         uint32_t flashOffset, const uint32_t *header, uint32_t headerWords,
                                         uint32_t writeMode, uint32_t *bytesWritten)
{
    return Route<&model::WriteFlash2xBytesWithHeader, calwire::op::WriteFlash2xBytesWithHeader>(
        h, key, data, byteCount, flashOffset, header, headerWords, writeMode, bytesWritten);
}

TavrelResult WriteDevDataRegionByID(TavrelCalHandle h, uint32_t key, int32_t regionId, uint32_t byteCount,
                                    const uint8_t *data, uint32_t *bytesWritten)
{
    return Route<&model::WriteDevDataRegionByID, calwire::op::WriteDevDataRegionByID>(h, key, regionId, byteCount, data,
                                                                                      bytesWritten);
}

TavrelResult EchoTest(TavrelCalHandle h, uint32_t messageLength)
{
    return Route<&model::EchoTest, calwire::op::EchoTest>(h, messageLength);
}
} // extern "C"
