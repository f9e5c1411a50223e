// A results::Recorder that keeps what a run records, for the tests of what
// the commands and scripted tests measure and judge. It is the recorder
// while it lives: make it after the test's Bench.
#ifndef TESTS_RECORDING_RECORDER_H
#define TESTS_RECORDING_RECORDER_H

#include "console/run_events.h"

#include <algorithm>
#include <string>
#include <vector>

namespace testcmds_checks {

struct Recorded {
    struct Value {
        std::string name;
        std::string kind; // "scalar", "text" or "series", then the unit
    };
    struct Verdict {
        bool pass;
        std::string firstName; // of the values judged
        std::string readError; // empty when the read succeeded
    };
    std::vector<Value> values; // a verdict's values count when their read succeeded
    std::vector<Verdict> verdicts;
    std::vector<bool> errorsExpected; // one per library error

    int Count(const std::string &name) const
    {
        return static_cast<int>(std::count_if(values.begin(), values.end(), [&](auto &v) { return v.name == name; }));
    }
    int FailedVerdicts() const
    {
        return static_cast<int>(std::count_if(verdicts.begin(), verdicts.end(), [](auto &v) { return !v.pass; }));
    }
    int ExpectedErrors() const
    {
        return static_cast<int>(std::count(errorsExpected.begin(), errorsExpected.end(), true));
    }
    int UnexpectedErrors() const { return static_cast<int>(errorsExpected.size()) - ExpectedErrors(); }
};

class RecordingRecorder : public results::Recorder {
public:
    RecordingRecorder() { results::SetRecorder(this); }
    ~RecordingRecorder() override { results::SetRecorder(nullptr); }
    RecordingRecorder(const RecordingRecorder &) = delete;
    RecordingRecorder &operator=(const RecordingRecorder &) = delete;

    void StepBegins(const char *) override {}
    void StepEnds(bool) override {}
    void Measured(const std::string &name, double, const char *unit) override { Add(name, "scalar", unit); }
    void MeasuredText(const std::string &name, const std::string &) override { Add(name, "text", nullptr); }
    void MeasuredSeries(const std::string &name, const std::vector<double> &, const char *unit) override
    {
        Add(name, "series", unit);
    }
    void Verdict(bool pass, const results::Judged *values, std::size_t count, const char *readError) override
    {
        got.verdicts.push_back({pass, count > 0 ? values[0].name : "", readError ? readError : ""});
        for (std::size_t i = 0; readError == nullptr && i < count; ++i)
            Add(values[i].name, "scalar", values[i].unit);
    }
    void LibraryError(const char *, bool expected) override { got.errorsExpected.push_back(expected); }

    Recorded got;

private:
    void Add(const std::string &name, const char *kind, const char *unit)
    {
        got.values.push_back({name, std::string(kind) + " " + (unit ? unit : "")});
    }
};

} // namespace testcmds_checks

#endif
