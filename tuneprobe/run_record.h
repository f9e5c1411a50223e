// What an unattended run records: it takes the commands' and scripted tests'
// events and the console's text, and writes the OCP report and the JUnit
// file from them. A verdict's message is the console line that holds its
// word, so it waits until that line is complete. Measurements that a limits
// file names are judged as they are made.
#ifndef TUNEPROBE_RUN_RECORD_H
#define TUNEPROBE_RUN_RECORD_H

#include "console/run_events.h"
#include "tuneprobe/junit_report.h"
#include "tuneprobe/limits.h"
#include "tuneprobe/ocp_report.h"

#include <set>
#include <string>
#include <vector>

class RunRecord : public results::Recorder {
public:
    // limits may be null (none given).
    RunRecord(OcpReport &ocp, JunitReport &junit, const Limits *limits) : ocp_(ocp), junit_(junit), limits_(limits) {}

    // When the run really started: testRunStart carries this time.
    void SetStartTime(const std::string &stamp) { startStamp_ = stamp; }
    // The testRunStart object to write if the run ends before Start.
    void Prepare(const nlohmann::ordered_json &runStart) { prepared_ = runStart; }
    // Writes the testRunStart object; run-level artifacts recorded before it
    // are held back until then, each with the time it happened.
    void Start(const nlohmann::ordered_json &runStart);
    // A run-level log, and a run-level error that leaves the run judged
    // incompletely (the device's identity could not be read).
    void RunLog(const std::string &severity, const std::string &message);
    void RunError(const std::string &message);
    // Console output and echoed answers, as printed.
    void Console(const char *text, std::size_t length);

    // Why a run ends early: its OCP error symptom, a JUnit error type and a
    // sentence.
    struct Cause {
        std::string symptom;
        std::string text;
    };
    // Ends an open step (in error, with the cause), records the cause, judges
    // the limits that nothing measured (only after a whole run), writes
    // testRunEnd.
    void Finish(bool complete, const Cause &cause = {});

    // 0 when every verdict passed and the run was judged completely; 2 when a
    // verdict failed; 3 when none failed but the run could not be judged
    // completely.
    int ExitStatus() const;
    // Results that were not all written make a judged run incomplete.
    void ResultsLost() { resultsLost_ = true; }

    void StepBegins(const char *name) override;
    void StepEnds(bool stoppedOnError) override;
    void Measured(const std::string &name, double value, const char *unit) override;
    void MeasuredText(const std::string &name, const std::string &value) override;
    void MeasuredSeries(const std::string &name, const std::vector<double> &values, const char *unit) override;
    void Verdict(bool pass, const results::Judged *values, std::size_t count, const char *readError) override;
    void LibraryError(const char *text, bool expected) override;

private:
    struct Pending {
        int step;
        std::string verdict;
        std::string caseName;
        bool pass;
    };
    struct Held {
        std::string stamp;
        nlohmann::ordered_json body;
    };
    void Resolve(const std::string &line);
    void RunArtifact(const nlohmann::ordered_json &body);
    void EndOpenStep(const Cause &cause);
    struct LimitCheck {
        std::string name;
        bool pass;
        std::string message;
    };
    // Adds the limits' validators to a measurement (or series start) and
    // judges each value against them; the diagnoses follow the measurement.
    std::vector<LimitCheck> CheckLimits(const std::string &name, nlohmann::ordered_json &measurement,
                                        const std::vector<nlohmann::ordered_json> &values, const char *unit);
    void ReportChecks(const std::vector<LimitCheck> &checks);
    void Diagnose(const std::string &verdict, bool pass, const std::string &message, const std::string &caseName);

    OcpReport &ocp_;
    JunitReport &junit_;
    const Limits *limits_;
    std::string startStamp_;
    nlohmann::ordered_json prepared_;
    bool started_ = false;
    bool finished_ = false;
    std::vector<Held> held_;
    std::string line_;
    std::vector<Pending> pending_;
    int step_ = -1; // the open step, -1 for none
    std::string stepName_;
    int nextStep_ = 0;
    int nextSeries_ = 0;
    int verdictsInStep_ = 0;
    std::string stepError_; // the first unexpected library error of the open step
    bool stepStopped_ = false;
    std::set<const Limit *> limitsMet_;
    int failed_ = 0;
    int erroredSteps_ = 0;
    bool runErrors_ = false; // a run-level error outside the steps
    bool complete_ = false;
    bool resultsLost_ = false;
};

#endif
