#include "commands/config_commands.h"
#include "commands/loopback_commands.h"
#include "commands/other_commands.h"
#include "commands/rx_commands.h"
#include "commands/tx_commands.h"
#include "tuneprobe/menu.h"
#include "commands/option_commands.h"
#include "devdata/devdata_info.h"
#include "devdata/devdata_read.h"
#include "devdata/devdata_write.h"
#include "testcmds/test_commands.h"

const MenuRow MenuTable[] = {
    {"Configuration Commands", "Connect device", CmdConnectDevice},
    {nullptr, "Disconnect device", CmdDisconnectDevice},
    {nullptr, "Get device mode", CmdGetDeviceMode},
    {nullptr, "Set device mode", CmdSetDeviceMode},
    {nullptr, "Get band configuration", CmdGetBandConfig},
    {nullptr, "Set band configuration", CmdSetBandConfig},
    {nullptr, "Get CW freq offset", CmdGetCWOffset},
    {nullptr, "Set CW freq offset", CmdSetCWOffset},

    {"Rx Commands", "Get Rx antenna configuration", CmdGetRxAntConfig},
    {nullptr, "Set Rx antenna configuration", CmdSetRxAntConfig},
    {nullptr, "Is device in sync", CmdIsSync},
    {nullptr, "Force re-sync", CmdForceReSync},
    {nullptr, "Set AGC mode", CmdSetAGCMode},
    {nullptr, "Get Rx gain state", CmdGetRxGainState},
    {nullptr, "Set Rx gain state", CmdSetRxGainState},
    {nullptr, "Get RSSI report", CmdGetRSSIReport},
    {nullptr, "Get CINR", CmdGetCINR},
    {nullptr, "Get Per Antenna CINR", CmdGetPerAntCINR},
    {nullptr, "Get Per Antenna Thermal Noise", CmdGetPerAntThermalNoise},
    {nullptr, "Reset frame error statistics", CmdResetFrameErrorStatistics},
    {nullptr, "Get frame error statistics", CmdGetFrameErrorStatistics},
    {nullptr, "Get PDU error statistics", CmdGetPDUErrorStatistics},

    {"Tx Commands", "Get Tx1 attenuator settings", CmdGetTx1Attn},
    {nullptr, "Set Tx1 attenuator settings", CmdSetTx1Attn},
    {nullptr, "Get Tx1 output power", CmdGetTx1OutputPower},
    {nullptr, "Set Tx1 output power", CmdSetTx1OutputPower},
    {nullptr, "Get Tx diversity switch", CmdGetTxDiversitySwitch},
    {nullptr, "Set Tx diversity switch", CmdSetTxDiversitySwitch},

    {"Loopback Calibration Commands", "Set TR Switch", CmdSetTRSwitch},
    {nullptr, "Calibrate LC Trim", CmdCalibrateLCTrim},
    {nullptr, "Calibrate Tx Steps", CmdCalibrateTxSteps},
    {nullptr, "Calibrate Limited Tx Steps", CmdCalibrateLimitedTxSteps},
    {nullptr, "Calibrate Tx Pout Freq Corr", CmdCalibrateTxPoutFreqCorr},
    {nullptr, "Calibrate LNA Steps", CmdCalibrateLNASteps},
    {nullptr, "Calibrate Tx Ext Attn Step", CmdCalibrateTxExtAttnStep},

    {"Other Commands", "Read GPIO state", CmdReadGPIOState},
    {nullptr, "Set GPIO configuration", CmdSetGPIOConfiguration},
    {nullptr, "Set GPIO pin state", CmdSetGPIOPinState},
    {nullptr, "Read RFIC register", CmdReadRFICRegister},
    {nullptr, "Write RFIC register", CmdWriteRFICRegister},
    {nullptr, "Get temperature", CmdGetTemperature},
    {nullptr, "Get GP ADC value", CmdGetGPADCValue},
    {nullptr, "Set GP DAC value", CmdSetGPDACValue},
    {nullptr, "Reset Rx Spectrum", CmdResetRxSpectrum},
    {nullptr, "Get Rx Spectrum", CmdGetRxSpectrum},
    {nullptr, "GetVersionInfo", CmdGetVersionInfo},

    {"Device Data Management Commands", "LoadDevData", CmdLoadDevData},
    {nullptr, "IsDevDataValid", CmdIsDevDataValid},
    {nullptr, "AreDevDataChecksumsValidArray", CmdAreDevDataChecksumsValidArray},
    {nullptr, "GetDevDataChecksumsArray", CmdGetDevDataChecksumsArray},
    {nullptr, "IsCalibrationValid", CmdIsCalibrationValid},
    {nullptr, "GetCalibrationInfo", CmdGetCalibrationInfo},
    {nullptr, "GetMACAddress", CmdGetMACAddress},
    {nullptr, "GetDevDataSize", CmdGetDevDataSize},
    {nullptr, "GetDevDataInfo", CmdGetDevDataInfo},
    {nullptr, "GetFlash2xDevDataInfo", CmdGetFlash2xDevDataInfo},
    {nullptr, "SelectActiveDevDataSection", CmdSelectActiveDevDataSection},
    {nullptr, "InitializeFlash", CmdInitializeFlash},

    {"Device Data Read/Write Commands", "ReadDevDataBlock", CmdReadDevDataBlock},
    {nullptr, "ReadDevDataBytes", CmdReadDevDataBytes},
    {nullptr, "GetDevDataRegionSizeByID", CmdGetDevDataRegionSizeByID},
    {nullptr, "ReadDevDataRegionByID", CmdReadDevDataRegionByID},
    {nullptr, "RequestDevDataWriteKey", CmdRequestDevDataWriteKey},
    {nullptr, "WriteDevDataBlock", CmdWriteDevDataBlock},
    {nullptr, "WriteDevDataBytes", CmdWriteDevDataBytes},
    {nullptr, "WriteFlash2xBytesWithHeader", CmdWriteFlash2xBytesWithHeader},
    {nullptr, "WriteDevDataRegionByID", CmdWriteDevDataRegionByID},
    {nullptr, "SelectCurrentDevDataSection", CmdSelectCurrentDevDataSection},
    {nullptr, "CopyDevDataSection", CmdCopyDevDataSection},

    {"Library Configuration Commands", "GetOptionByID", CmdGetOptionByID},
    {nullptr, "SetOptionByID", CmdSetOptionByID},

    {"Test Commands", "Echo test", CmdEchoTest},
    {nullptr, "Automated test", CmdAutomatedTest},
    {nullptr, "Sleep function accuracy test", CmdSleepAccuracyTest},
    {nullptr, "Device Data write test", CmdDevDataWriteTest},
    {nullptr, "NVM Mode test", CmdNvmModeTest},

    {nullptr, nullptr, nullptr},
};
