// What the command-line options add around the console: the report files
// and the session log, the run's start with the unit's identity and the
// station's context, items run as steps, and the run's end with its exit
// status.
#ifndef TUNEPROBE_UNATTENDED_H
#define TUNEPROBE_UNATTENDED_H

#include "calapi/calapi.h"
#include "tuneprobe/junit_report.h"
#include "tuneprobe/limits.h"
#include "tuneprobe/ocp_report.h"
#include "tuneprobe/options.h"
#include "tuneprobe/run_record.h"

#include <cstdio>
#include <memory>
#include <string>

class Unattended {
public:
    // limits may be null (none given).
    Unattended(const Options &options, const Limits *limits);
    Unattended(const Unattended &) = delete;
    Unattended &operator=(const Unattended &) = delete;
    ~Unattended();

    // Creates the files the options name before anything is opened, and
    // writes the report's first line; on failure removes those it created
    // and gives the message.
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
    // The device could not be disconnected at the end.
    void Disconnected(const char *error);
    // The run ends early: at the end of input, on a signal, or at the start.
    int InputEnded();
    void Interrupted(int signal);
    int StartFailed(const std::string &reason);
    int NoInterface();
    // Writes the run's end once; the exit status (0, 2 or 3, as
    // RunRecord::ExitStatus, or 3 when results were not written).
    int Finish(bool complete, const RunRecord::Cause &cause = {});

private:
    struct Closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };
    nlohmann::ordered_json RunStart(const nlohmann::ordered_json &dutInfo) const;
    JunitReport::Properties Properties(const std::string &dutId) const;

    const Options &options_;
    std::string startStamp_;
    std::string runId_;
    std::string hostname_;
    OcpReport ocp_;
    JunitReport junit_;
    RunRecord record_;
    std::unique_ptr<std::FILE, Closer> log_;
    int status_ = -1; // the exit status once finished
};

// A random (version 4) UUID for the run.
std::string NewRunId();

#endif
