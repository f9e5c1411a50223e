/* The calibration library's C interface: the 75 operations that tuneprobe
 * imports by name. Every operation but GetCalInterface, GetOptionInfo,
 * CloseCalInterface and RequestDevDataWriteKey returns a result text: null
 * on success, else a message owned by the library (printed, never freed).
 * Integers are 32-bit, real values IEEE 754 doubles; outputs go through
 * pointers and fixed-size arrays owned by the caller. */
#ifndef TAVREL_CALAPI_H
#define TAVREL_CALAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TAVREL_CALAPI __attribute__((visibility("default")))
#else
#define TAVREL_CALAPI
#endif

/* Opaque interface handle; null means the interface could not be opened. */
typedef void *TavrelCalHandle;

/* Result text: null is success. */
typedef const char *TavrelResult;

/* Interface types of GetCalInterface. */
enum { TAVREL_IF_LOCAL = 0, TAVREL_IF_ETHERNET_PROXY = 1, TAVREL_IF_SERIAL_PROXY = 2 };

/* One library option (IDs 0 to 7); six words on the original 32-bit
 * platform: ID, name, three words the console does not read, reserved flag. */
typedef struct TavrelOptionInfo {
    uint32_t optionId;
    const char *name;
    uint32_t minValue;
    uint32_t maxValue;
    uint32_t defaultValue;
    uint32_t reserved; /* non-zero: reserved, not for the operator */
} TavrelOptionInfo;

/* Library option that holds the NVM mode. */
#define TAVREL_OPTION_NVM_MODE 7u

/* Sizes of the fixed tables the library fills. */
#define TAVREL_PDU_DIUC_COUNT 13
#define TAVREL_LCTRIM_COUNT 12
#define TAVREL_TX_PADRV_STEPS 21
#define TAVREL_TX_PGA_STEPS 11
#define TAVREL_SCAN_LIST_SIZE 12
#define TAVREL_SPECTRUM_CAPACITY 2048
#define TAVREL_DRIVER_VERSION_SIZE 32
#define TAVREL_DEVDATA_BLOCKS 10

/* Interface and connection */
TAVREL_CALAPI TavrelCalHandle GetCalInterface(uint32_t interfaceType, const char *address, uint32_t number);
TAVREL_CALAPI int CloseCalInterface(void);
TAVREL_CALAPI TavrelResult ConnectDevice(TavrelCalHandle h);
TAVREL_CALAPI TavrelResult DisconnectDevice(TavrelCalHandle h);

/* Library options */
TAVREL_CALAPI const TavrelOptionInfo *GetOptionInfo(uint32_t index);
TAVREL_CALAPI TavrelResult GetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t *value);
TAVREL_CALAPI TavrelResult SetOptionByID(TavrelCalHandle h, uint32_t optionId, uint32_t value);

/* Configuration */
TAVREL_CALAPI TavrelResult GetDeviceMode(TavrelCalHandle h, uint32_t *dutMode, uint32_t *modulation);
TAVREL_CALAPI TavrelResult SetDeviceMode(TavrelCalHandle h, uint32_t dutMode, uint32_t modulation);
TAVREL_CALAPI TavrelResult GetBandConfig(TavrelCalHandle h, uint32_t *centerFreqKHz, uint32_t *bandwidthKHz);
TAVREL_CALAPI TavrelResult SetBandConfig(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t bandwidthKHz);
TAVREL_CALAPI TavrelResult GetCWOffset(TavrelCalHandle h, int32_t *offsetKHz);
TAVREL_CALAPI TavrelResult SetCWOffset(TavrelCalHandle h, int32_t offsetKHz);

/* Rx */
TAVREL_CALAPI TavrelResult GetRxAntConfig(TavrelCalHandle h, uint32_t *config);
TAVREL_CALAPI TavrelResult SetRxAntConfig(TavrelCalHandle h, uint32_t config);
TAVREL_CALAPI TavrelResult IsSync(TavrelCalHandle h, double *freqOffsetPpm, uint32_t *syncFreqKHz,
                                  uint32_t *syncStatus);
TAVREL_CALAPI TavrelResult ForceReSync(TavrelCalHandle h);
TAVREL_CALAPI TavrelResult SetAGCMode(TavrelCalHandle h, uint32_t mode, uint32_t backoffDb);
TAVREL_CALAPI TavrelResult GetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t *extLna, uint32_t *lnaGain,
                                          uint32_t *mixerGain, int32_t *pgaIndex, double *totalGain);
TAVREL_CALAPI TavrelResult SetRxGainState(TavrelCalHandle h, uint32_t path, uint32_t extLna, uint32_t lnaGain,
                                          uint32_t mixerGain, int32_t pgaIndex);
TAVREL_CALAPI TavrelResult GetRSSIReport(TavrelCalHandle h, double *rx1Rssi, double *rx2Rssi, double *combinedRssi,
                                         double *rx1AdcPower, double *rx2AdcPower, uint32_t *rx1ClipCount,
                                         uint32_t *rx2ClipCount, uint32_t *adcSamples);
TAVREL_CALAPI TavrelResult GetCINR(TavrelCalHandle h, double *cinrDb);
TAVREL_CALAPI TavrelResult GetPerAntCINR(TavrelCalHandle h, double *combinedDb, double *ant1Db, double *ant2Db);
TAVREL_CALAPI TavrelResult GetPerAntThermalNoise(TavrelCalHandle h, double *ant1Dbm, double *ant2Dbm);
TAVREL_CALAPI TavrelResult ResetFrameErrorStatistics(TavrelCalHandle h);
TAVREL_CALAPI TavrelResult GetFrameErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError);
TAVREL_CALAPI TavrelResult GetPDUErrorStatistics(TavrelCalHandle h, uint32_t *totalFrames, uint32_t *framesInError,
                                                 uint32_t *fchErrors, uint32_t *dlMapErrors,
                                                 uint32_t pduCount[TAVREL_PDU_DIUC_COUNT],
                                                 uint32_t hcsErrors[TAVREL_PDU_DIUC_COUNT],
                                                 uint32_t crcErrors[TAVREL_PDU_DIUC_COUNT],
                                                 uint32_t burstSizes[TAVREL_PDU_DIUC_COUNT]);

/* Tx */
TAVREL_CALAPI TavrelResult GetTx1Attn(TavrelCalHandle h, double *bbicBackoffDb, uint32_t *pgaIndex,
                                      uint32_t *paDriverIndex, uint32_t *extAttenuator);
TAVREL_CALAPI TavrelResult SetTx1Attn(TavrelCalHandle h, double bbicBackoffDb, uint32_t pgaIndex,
                                      uint32_t paDriverIndex, uint32_t extAttenuator);
TAVREL_CALAPI TavrelResult GetTx1OutputPower(TavrelCalHandle h, double *powerDbm);
TAVREL_CALAPI TavrelResult SetTx1OutputPower(TavrelCalHandle h, double powerDbm);
TAVREL_CALAPI TavrelResult GetTxDiversitySwitch(TavrelCalHandle h, uint32_t *antennaSwitch);
TAVREL_CALAPI TavrelResult SetTxDiversitySwitch(TavrelCalHandle h, uint32_t antennaSwitch);

/* Loopback calibration */
TAVREL_CALAPI TavrelResult SetTRSwitch(TavrelCalHandle h, uint32_t state);
TAVREL_CALAPI TavrelResult CalibrateLCTrim(TavrelCalHandle h, int32_t lcTrim[TAVREL_LCTRIM_COUNT], uint32_t *count);
TAVREL_CALAPI TavrelResult CalibrateTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz,
                                            double paDrvSteps[TAVREL_TX_PADRV_STEPS],
                                            double pgaSteps[TAVREL_TX_PGA_STEPS]);
TAVREL_CALAPI TavrelResult CalibrateLimitedTxSteps(TavrelCalHandle h, uint32_t centerFreqKHz, uint32_t minPaDrvIndex,
                                                   double paDrvSteps[TAVREL_TX_PADRV_STEPS],
                                                   double pgaSteps[TAVREL_TX_PGA_STEPS]);
TAVREL_CALAPI TavrelResult CalibrateTxPoutFreqCorr(TavrelCalHandle h, uint32_t scanListIndex, double correctionDb,
                                                   const double cableLoss[TAVREL_SCAN_LIST_SIZE],
                                                   double freqCorr[TAVREL_SCAN_LIST_SIZE],
                                                   double extAttnStep[TAVREL_SCAN_LIST_SIZE]);
TAVREL_CALAPI TavrelResult CalibrateLNASteps(TavrelCalHandle h, uint32_t scanListIndex, double rx1AmplitudeDbm,
                                             double rx2AmplitudeDbm, double pgaGainCorr[2], double lnaMidStep[2],
                                             double lnaHighStep[2], double lnaExtStep[2]);
TAVREL_CALAPI TavrelResult CalibrateTxExtAttnStep(TavrelCalHandle h, uint32_t freqIndex, uint32_t calType,
                                                  double *stepGainDb, double *loopbackAmplitudeDb, double *backoffDb,
                                                  int32_t *pgaIndex, int32_t *paDriverIndex, int32_t *extAttnEnable);

/* Other hardware */
TAVREL_CALAPI TavrelResult ReadGPIOState(TavrelCalHandle h, uint32_t *pinState, uint32_t *pinDirection,
                                         uint32_t *writePermission);
TAVREL_CALAPI TavrelResult SetGPIOConfiguration(TavrelCalHandle h, uint32_t writePermission);
TAVREL_CALAPI TavrelResult SetGPIOPinState(TavrelCalHandle h, uint32_t pin, uint32_t state);
TAVREL_CALAPI TavrelResult ReadRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t timing, uint32_t *data);
TAVREL_CALAPI TavrelResult WriteRFICRegister(TavrelCalHandle h, uint32_t reg, uint32_t data, uint32_t timing);
TAVREL_CALAPI TavrelResult GetTemperature(TavrelCalHandle h, double *celsius);
TAVREL_CALAPI TavrelResult GetGPADCValue(TavrelCalHandle h, uint32_t mux, uint32_t *value);
TAVREL_CALAPI TavrelResult SetGPDACValue(TavrelCalHandle h, uint32_t mux, double volts);
TAVREL_CALAPI TavrelResult ResetRxSpectrum(TavrelCalHandle h, uint32_t iirShift, uint32_t symbolIndex);
TAVREL_CALAPI TavrelResult GetRxSpectrum(TavrelCalHandle h, uint32_t capacity, double *spectrum, uint32_t *length);
TAVREL_CALAPI TavrelResult GetVersionInfo(TavrelCalHandle h, uint32_t *phyFirmware, uint32_t macFirmware[3],
                                          char driverVersion[TAVREL_DRIVER_VERSION_SIZE], uint32_t calApiVersion[3],
                                          uint32_t *basebandChip, uint32_t *rfChip);

/* Device Data information and management */
TAVREL_CALAPI TavrelResult LoadDevData(TavrelCalHandle h, uint32_t loadMode);
TAVREL_CALAPI TavrelResult IsDevDataValid(TavrelCalHandle h, int32_t *valid);
TAVREL_CALAPI TavrelResult AreDevDataChecksumsValidArray(TavrelCalHandle h, uint8_t valid[TAVREL_DEVDATA_BLOCKS],
                                                         uint32_t *blockCount);
TAVREL_CALAPI TavrelResult GetDevDataChecksumsArray(TavrelCalHandle h, uint16_t checksums[TAVREL_DEVDATA_BLOCKS],
                                                    uint32_t *blockCount);
TAVREL_CALAPI TavrelResult IsCalibrationValid(TavrelCalHandle h, int32_t *valid);
TAVREL_CALAPI TavrelResult GetCalibrationInfo(TavrelCalHandle h, uint8_t *calFlag, uint8_t *vendorId, uint8_t date[4],
                                              uint8_t time[4], uint8_t swVersion[4]);
TAVREL_CALAPI TavrelResult GetMACAddress(TavrelCalHandle h, uint8_t mac[6]);
TAVREL_CALAPI TavrelResult GetDevDataSize(TavrelCalHandle h, int32_t *sizeBytes);
TAVREL_CALAPI TavrelResult GetDevDataInfo(TavrelCalHandle h, uint32_t *nvmType, int32_t *sizeBytes,
                                          uint32_t *flashMapType);
TAVREL_CALAPI TavrelResult GetFlash2xDevDataInfo(TavrelCalHandle h, uint32_t sectionFlags[3]);
TAVREL_CALAPI TavrelResult SelectActiveDevDataSection(TavrelCalHandle h, uint32_t section);
TAVREL_CALAPI TavrelResult SelectCurrentDevDataSection(TavrelCalHandle h, uint32_t section);
TAVREL_CALAPI TavrelResult CopyDevDataSection(TavrelCalHandle h, uint32_t sourceSection, uint32_t targetSection,
                                              uint32_t byteCount, uint32_t startOffset);
TAVREL_CALAPI TavrelResult InitializeFlash(TavrelCalHandle h, uint32_t desiredSectorSize, uint32_t *actualSectorSize);

/* Device Data reads: note the buffer and size come before the address, and
 * the region read takes the size before the buffer. */
TAVREL_CALAPI TavrelResult ReadDevDataBlock(TavrelCalHandle h, uint32_t *buffer, uint32_t wordCount, uint32_t address);
TAVREL_CALAPI TavrelResult ReadDevDataBytes(TavrelCalHandle h, uint8_t *buffer, uint32_t byteCount, uint32_t address);
TAVREL_CALAPI TavrelResult GetDevDataRegionSizeByID(TavrelCalHandle h, int32_t regionId, int32_t *regionSize);
TAVREL_CALAPI TavrelResult ReadDevDataRegionByID(TavrelCalHandle h, int32_t regionId, int32_t regionSize,
                                                 uint8_t *buffer, uint32_t *bytesReturned);

/* Device Data writes: every write takes a key from RequestDevDataWriteKey
 * (0 means no key could be had). */
TAVREL_CALAPI uint32_t RequestDevDataWriteKey(TavrelCalHandle h);
TAVREL_CALAPI TavrelResult WriteDevDataBlock(TavrelCalHandle h, uint32_t key, const uint32_t *data, uint32_t wordCount,
                                             uint32_t address, uint32_t *wordsWritten);
TAVREL_CALAPI TavrelResult WriteDevDataBytes(TavrelCalHandle h, uint32_t key, const uint8_t *data, uint32_t byteCount,
                                             uint32_t address, uint32_t *bytesWritten);
TAVREL_CALAPI TavrelResult WriteFlash2xBytesWithHeader(TavrelCalHandle h, uint32_t key, const uint8_t *data,
                                                       uint32_t byteCount, uint32_t flashOffset, const uint32_t *header,
                                                       uint32_t headerWords, uint32_t writeMode,
                                                       uint32_t *bytesWritten);
TAVREL_CALAPI TavrelResult WriteDevDataRegionByID(TavrelCalHandle h, uint32_t key, int32_t regionId, uint32_t byteCount,
                                                  const uint8_t *data, uint32_t *bytesWritten);

/* Tests */
TAVREL_CALAPI TavrelResult EchoTest(TavrelCalHandle h, uint32_t messageLength);

#ifdef __cplusplus
}
#endif

#endif
