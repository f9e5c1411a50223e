// The device's versions as texts, read with one GetVersionInfo call: what
// the console shows and the unattended run's report carries, formatted once.
#ifndef COMMANDS_VERSION_INFO_H
#define COMMANDS_VERSION_INFO_H

#include "calapi/calapi.h"

#include <string>

struct VersionTexts {
    std::string phyFirmware; // 8 hex digits
    std::string macFirmware; // major.minor.build
    std::string driver;
    std::string calApi;       // major.minor.build
    std::string basebandChip; // 8 hex digits
    std::string rfChip;       // 4 hex digits
};

// Null on success with texts filled in, else the library's error text.
TavrelResult ReadVersionTexts(TavrelCalHandle handle, VersionTexts &texts);

#endif
