// tuneprobe's command line. With no arguments the program is the console
// as it always was; every option is opt-in.
#ifndef TUNEPROBE_OPTIONS_H
#define TUNEPROBE_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The exit status of a usage error (as sysexits' EX_USAGE).
constexpr int kUsageError = 64;

struct Options {
    bool help = false;
    bool version = false;
    bool listItems = false;

    // --interface: the dialogue's three answers, given up front.
    bool interfaceGiven = false;
    uint32_t interfaceType = 0;
    std::string address; // IP address or serial port name
    uint32_t number = 0; // TCP port or baud rate
    std::string interfaceText;

    std::vector<int> items; // rows of the menu table, in the order given
    std::vector<std::string> itemTexts;
    bool noPause = false;
    uint32_t loadMode = 0; // 0: asked as usual
    std::string dutId;
    std::string station;
    std::string operatorName;
    std::string fixture;
    std::vector<std::pair<std::string, std::string>> metadata; // --metadata KEY=VALUE, in order
    std::string reportPath;
    std::string junitPath;
    std::string logPath;
    std::string limitsPath;
    std::string storePath; // --store: an SQLite file or a postgresql:// URL
    uint32_t connectAttempts = 10;
    std::string commandLine;
};

// The connection attempts --connect-attempts takes.
constexpr uint32_t kMaxConnectAttempts = 1000;

// Fills options from the arguments; false with a one-line message (no
// program name, no line end) on a usage error.
bool ParseOptions(int argc, char **argv, Options &options, std::string &message);

// Parses an --interface value: "local", or a link text by the link's rules
// (linkrules/link_text.h), a transport alone taking the dialogue's defaults;
// false with a message when the text breaks them.
bool ParseInterface(const std::string &text, Options &options, std::string &message);

// The --help text.
const char *UsageText();

#endif
