// What an unattended run records: it takes the scripted tests' events and
// the console's text, and writes the OCP report and the JUnit file from
// them. A verdict's message is the console line that holds its word, so it
// waits until that line is complete.
#ifndef TUNEPROBE_RUN_RECORD_H
#define TUNEPROBE_RUN_RECORD_H

#include "console/run_events.h"
#include "tuneprobe/junit_report.h"
#include "tuneprobe/ocp_report.h"

#include <string>
#include <vector>

class RunRecord : public results::Recorder {
public:
    RunRecord(OcpReport &ocp, JunitReport &junit) : ocp_(ocp), junit_(junit) {}

    // The testRunStart object to write if the run ends before Start.
    void Prepare(const nlohmann::ordered_json &runStart) { prepared_ = runStart; }
    // Writes the testRunStart object; run-level logs recorded before it are
    // held back until then.
    void Start(const nlohmann::ordered_json &runStart);
    void RunError(const std::string &message);
    // Console output and echoed answers, as printed.
    void Console(const char *text, std::size_t length);
    // Ends an open step (as stopped), logs why the run ends early if it
    // does (in the JUnit file too), writes testRunEnd.
    void Finish(bool complete, const std::string &reason = "");

    // 0 when every verdict passed and no step stopped, else 2.
    int ExitStatus() const;

    void StepBegins(const char *name) override;
    void StepEnds(bool stoppedOnError) override;
    void Measured(const char *name, double value, const char *unit) override;
    void Verdict(bool pass, const results::Judged *values, std::size_t count) override;
    void LibraryError(const char *text) override;

private:
    struct Pending {
        int step;
        std::string verdict;
        std::string caseName;
        bool pass;
    };
    void Resolve(const std::string &line);

    OcpReport &ocp_;
    JunitReport &junit_;
    nlohmann::ordered_json prepared_;
    bool started_ = false;
    bool finished_ = false;
    std::vector<std::string> heldErrors_;
    std::string line_;
    std::vector<Pending> pending_;
    int step_ = -1; // the open step, -1 for none
    int nextStep_ = 0;
    int verdictsInStep_ = 0;
    std::string stepError_; // the last library error text of the open step
    int failed_ = 0;
    int stoppedSteps_ = 0;
};

#endif
