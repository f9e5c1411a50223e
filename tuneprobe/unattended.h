// What the command-line options add around the console: the report files
// and the session log, the run's start with the unit's identity, items run
// as steps, and the run's end with its exit status.
#ifndef TUNEPROBE_UNATTENDED_H
#define TUNEPROBE_UNATTENDED_H

#include "calapi/calapi.h"
#include "tuneprobe/junit_report.h"
#include "tuneprobe/ocp_report.h"
#include "tuneprobe/options.h"
#include "tuneprobe/run_record.h"

#include <cstdio>
#include <memory>
#include <string>

class Unattended {
public:
    explicit Unattended(const Options &options);
    Unattended(const Unattended &) = delete;
    Unattended &operator=(const Unattended &) = delete;
    ~Unattended();

    // Creates the files the options name before anything is opened; on
    // failure removes those it created and gives the message.
    bool CreateFiles(std::string &message);
    // True when there is anything to record or copy.
    bool Active() const;
    void Console(const char *text, std::size_t length);

    // The run's start, with what the device tells of itself (handle may be
    // null when it did not connect).
    void Begin(TavrelCalHandle handle);
    // One menu item: a step of its own, unless it is the automated test,
    // whose groups are steps.
    void RunItem(TavrelCalHandle handle, int row);
    // The run ends early: at the end of input, or on SIGINT or SIGTERM.
    int InputEnded();
    void Interrupted(int signal);
    // Writes the run's end once; the exit status of a run from the command
    // line: 0 all passed, 2 otherwise.
    int Finish(bool complete, const std::string &reason = "");

private:
    struct Closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };
    nlohmann::ordered_json RunStart(const nlohmann::ordered_json &dutInfo) const;

    const Options &options_;
    OcpReport ocp_;
    JunitReport junit_;
    RunRecord record_;
    std::unique_ptr<std::FILE, Closer> log_;
    int status_ = -1; // the exit status once finished
};

#endif
