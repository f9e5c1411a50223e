#include "fuzz/menu_input.h"

#include <iterator>

namespace fuzz {
namespace {

// The library operations that can be made to fail (GetCalInterface,
// CloseCalInterface and GetOptionInfo return no result text).
const char *const kOperations[] = {
    "ConnectDevice",
    "DisconnectDevice",
    "GetOptionByID",
    "SetOptionByID",
    "GetDeviceMode",
    "SetDeviceMode",
    "GetBandConfig",
    "SetBandConfig",
    "GetCWOffset",
    "SetCWOffset",
    "GetRxAntConfig",
    "SetRxAntConfig",
    "IsSync",
    "ForceReSync",
    "SetAGCMode",
    "GetRxGainState",
    "SetRxGainState",
    "GetRSSIReport",
    "GetCINR",
    "GetPerAntCINR",
    "GetPerAntThermalNoise",
    "ResetFrameErrorStatistics",
    "GetFrameErrorStatistics",
    "GetPDUErrorStatistics",
    "GetTx1Attn",
    "SetTx1Attn",
    "GetTx1OutputPower",
    "SetTx1OutputPower",
    "GetTxDiversitySwitch",
    "SetTxDiversitySwitch",
    "SetTRSwitch",
    "CalibrateLCTrim",
    "CalibrateTxSteps",
    "CalibrateLimitedTxSteps",
    "CalibrateTxPoutFreqCorr",
    "CalibrateLNASteps",
    "CalibrateTxExtAttnStep",
    "ReadGPIOState",
    "SetGPIOConfiguration",
    "SetGPIOPinState",
    "ReadRFICRegister",
    "WriteRFICRegister",
    "GetTemperature",
    "GetGPADCValue",
    "SetGPDACValue",
    "ResetRxSpectrum",
    "GetRxSpectrum",
    "GetVersionInfo",
    "LoadDevData",
    "IsDevDataValid",
    "AreDevDataChecksumsValidArray",
    "GetDevDataChecksumsArray",
    "IsCalibrationValid",
    "GetCalibrationInfo",
    "GetMACAddress",
    "GetDevDataSize",
    "GetDevDataInfo",
    "GetFlash2xDevDataInfo",
    "SelectActiveDevDataSection",
    "SelectCurrentDevDataSection",
    "CopyDevDataSection",
    "InitializeFlash",
    "ReadDevDataBlock",
    "ReadDevDataBytes",
    "GetDevDataRegionSizeByID",
    "ReadDevDataRegionByID",
    "RequestDevDataWriteKey",
    "WriteDevDataBlock",
    "WriteDevDataBytes",
    "WriteFlash2xBytesWithHeader",
    "WriteDevDataRegionByID",
    "EchoTest",
};

// A fixed set of texts: the library keeps every text it ever returned, so
// texts made from the input would grow without end over a long run. They
// include the empty text, printf directives (printed as data, never as a
// format) and more than a line.
const char *const kFaultTexts[] = {
    "Simulated failure",
    "",
    "Device busy",
    "%s%n%d%x%%",
    "Two\nlines",
    ("A failure text of some length, longer than any field of the console: "
     "0123456789012345678901234567890123456789012345678901234567890123456789"),
};

// -1 where a choice or a signed number is read, 0 at an unsigned question:
// strtoll stops at the largest 64-bit value, whose low 32 bits are all ones,
// while strtoull reads 2^63, whose low 32 bits are zero. Plain "-1" would be
// 4294967295 at a count question. At a hex question it is ffffffff, an
// address or a value, never a count.
const char kMinusOne[] = "9223372036854775808";

// Printable characters other than digits and 'a' to 'v', from '!' on; the
// last entry is for DEL.
const char *const kSpecialWords[] = {
    "0x7f",                                                             // !
    "0x80",                                                             // "
    "ffffffff",                                                         // #
    "fffffffc",                                                         // $
    "deadbeef",                                                         // %
    "a5a5a5a5",                                                         // &
    "7f",                                                               // '
    "ff",                                                               // (
    "1fff",                                                             // )
    "x",                                                                // *
    "+",                                                                // +
    "3abc",                                                             // ,
    kMinusOne,                                                          // -
    ".",                                                                // .
    "0x10",                                                             // /
    "1.5",                                                              // :
    "-.4e2",                                                            // ;
    "-.2e2",                                                            // <
    "35.5",                                                             // =
    "60.5",                                                             // >
    "3.3",                                                              // ?
    "nan",                                                              // @
    "32",                                                               // A
    "33",                                                               // B
    "40",                                                               // C
    "47",                                                               // D
    "48",                                                               // E
    "63",                                                               // F
    "64",                                                               // G
    "100",                                                              // H
    "127",                                                              // I
    "128",                                                              // J
    "200",                                                              // K
    "255",                                                              // L
    "256",                                                              // M
    "511",                                                              // N
    "512",                                                              // O
    "1000",                                                             // P
    "1023",                                                             // Q
    "1024",                                                             // R
    "2039",                                                             // S
    "2040",                                                             // T
    "2041",                                                             // U
    "2048",                                                             // V
    "4095",                                                             // W
    "4096",                                                             // X
    "4097",                                                             // Y
    "8192",                                                             // Z
    "inf",                                                              // [
    "-inf",                                                             // backslash
    "1e308",                                                            // ]
    "1e-320",                                                           // ^
    "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", // _
    "00000000000000000000042",                                          // `
    "1e3",                                                              // w
    "3.5e6",                                                            // x
    "0.001",                                                            // y
    "1e-3",                                                             // z
    "-0",                                                               // {
    "4294967296",                                                       // |
    "1e5",                                                              // }
    "-0.5",                                                             // ~
    "0",                                                                // DEL
};

static_assert(sizeof kSpecialWords / sizeof kSpecialWords[0] == 0x7F - '!' + 1 - 10 - 22);

uint8_t At(const uint8_t *data, std::size_t size, std::size_t index)
{
    return index < size ? data[index] : 0;
}

} // namespace

std::string AnswerWord(uint8_t byte)
{
    byte &= 0x7F; // the upper half of the bytes repeats the lower
    if (byte == '\n' || byte == ' ' || byte == '\t')
        return "";
    if (byte < '!')
        return std::string(1, static_cast<char>('0' + byte % 10));
    if (byte >= '0' && byte <= '9')
        return std::string(1, static_cast<char>(byte));
    if (byte >= 'a' && byte <= 'v')
        return std::to_string(byte - 'a' + 10);
    int index = byte - '!';
    if (byte > '9')
        index -= 10;
    if (byte > 'v')
        index -= 22;
    return kSpecialWords[index];
}

MenuInput DecodeMenuInput(const uint8_t *data, std::size_t size)
{
    MenuInput input;
    input.seed = At(data, size, 0);
    std::size_t pos = 2;
    int faults = At(data, size, 1) % 4;
    for (int i = 0; i < faults; ++i, pos += 4) {
        InjectedFault fault;
        fault.operation = kOperations[At(data, size, pos) % std::size(kOperations)];
        fault.skip = At(data, size, pos + 1) % 8;
        int times = At(data, size, pos + 2) % 4;
        fault.times = times == 0 ? -1 : times;
        fault.text = kFaultTexts[At(data, size, pos + 3) % std::size(kFaultTexts)];
        input.faults.push_back(fault);
    }
    bool wordLast = false; // the answers end in a word, not a separator
    for (; pos < size; ++pos) {
        std::string word = AnswerWord(data[pos]);
        if (word.empty()) {
            input.answers.push_back(static_cast<char>(data[pos] & 0x7F));
            wordLast = false;
            continue;
        }
        if (wordLast)
            input.answers.push_back(' ');
        input.answers += word;
        wordLast = true;
    }
    return input;
}

} // namespace fuzz
