// The verdicts of an unattended run as JUnit XML: a testsuite per step, with
// the unit's and the station's identity as properties, its start time and
// duration; a testcase per verdict (a failure element holding the console's
// line when it failed); an error element when the step ended in error (a
// library error, an interrupt, the end of input), with the library's error
// texts in the suite's system-err.
//
// A regular file is locked against another run from the start and holds a
// document saying that the run has not ended; the run's end replaces it
// whole (temporary file, rename). A device or FIFO is opened at the start and
// written through at the end, never replaced.
#ifndef TUNEPROBE_JUNIT_REPORT_H
#define TUNEPROBE_JUNIT_REPORT_H

#include "outfile/output_file.h"

#include <string>
#include <utility>
#include <vector>

class JunitReport {
public:
    using Properties = std::vector<std::pair<std::string, std::string>>;

    JunitReport() = default;
    JunitReport(const JunitReport &) = delete;
    JunitReport &operator=(const JunitReport &) = delete;
    ~JunitReport();

    // Checks that the file can be written and takes it for this run, writing
    // nothing yet; false with a message. busy is set when another run holds it.
    bool Prepare(const std::string &path, std::string &message, bool &busy);
    bool IsOpen() const { return prepared_; }
    // Gives the file up again (another file of the run was refused):
    // removes it when Prepare created it.
    void Abandon();
    // Writes the "not ended" document into a regular file.
    void MarkInProgress();

    // What every suite carries: the run's properties, its host, its start.
    void SetRun(const Properties &properties, const std::string &hostname, const std::string &timestamp);

    void BeginSuite(const std::string &name);
    void AddCase(const std::string &name, bool pass, const std::string &line);
    void AddLibraryError(const std::string &text);
    // The open suite ended in error: why (type) and the text that says it.
    void AddErrorCase(const std::string &name, const std::string &type, const std::string &text);
    void EndSuite();
    // The run ended early or never started: a suite of its own.
    void AddRunError(const std::string &name, const std::string &type, const std::string &text);

    // Writes the document; false with a message.
    bool Finish(std::string &message);

private:
    struct Case {
        std::string name;
        bool pass;
        std::string line;
        std::string errorType; // empty: a verdict
        double seconds;
    };
    struct Suite {
        std::string name;
        std::string timestamp;
        double started = 0.0;
        double seconds = 0.0;
        std::vector<Case> cases;
        std::string systemErr;
    };
    Suite &Current();
    double SinceLastEvent();
    std::string Document(bool inProgress) const;

    std::string path_;
    bool prepared_ = false;
    outfile::OutputFile through_; // a device or FIFO, opened at the start
    int lockFd_ = -1;             // a regular file, locked for the run
    std::string created_;         // the file Prepare created, until kept
    Properties properties_;
    std::string hostname_;
    std::string timestamp_;
    double runStarted_ = 0.0;
    double lastEvent_ = 0.0;
    std::vector<Suite> suites_;
};

// Text made safe for XML content and attribute values: markup characters
// escaped, characters XML 1.0 cannot hold and bytes that are not UTF-8
// replaced by U+FFFD.
std::string XmlEscape(const std::string &text);

// Seconds on the monotonic clock, for durations.
double MonotonicSeconds();

// The time now as JUnit writes it: UTC, to the second, no zone.
std::string JunitTimestamp();

#endif
