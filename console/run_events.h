// What the commands and scripted tests tell whoever records a run (the
// unattended mode's reports): steps, every value shown, verdicts and the
// library's error texts. With no recorder set every call does nothing, so the
// console behaves the same with and without one.
#ifndef CONSOLE_RUN_EVENTS_H
#define CONSOLE_RUN_EVENTS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace results {

// One value a verdict judges and what it was judged against (equality).
struct Judged {
    const char *name;
    double value;
    double expected;
    const char *unit; // null when the value has none
};

class Recorder {
public:
    virtual ~Recorder() = default;
    virtual void StepBegins(const char *name) = 0;
    virtual void StepEnds(bool stoppedOnError) = 0;
    // A value shown but not judged by the console (limits may judge it).
    virtual void Measured(const std::string &name, double value, const char *unit) = 0;
    virtual void MeasuredText(const std::string &name, const std::string &value) = 0;
    // A table of values, element i at index i.
    virtual void MeasuredSeries(const std::string &name, const std::vector<double> &values, const char *unit) = 0;
    // A verdict; the console prints its word on the line in progress.
    // readError is the library's text when the values judged could not be
    // read: the verdict is then FAIL and the values are not measurements.
    virtual void Verdict(bool pass, const Judged *values, std::size_t count, const char *readError) = 0;
    // expected: an error the script provokes on purpose and says so.
    virtual void LibraryError(const char *text, bool expected) = 0;
};

// The recorder that gets the events from now on; null for none.
void SetRecorder(Recorder *recorder);
// True while a recorder is set: callers may skip building large series.
bool Recording();

void BeginStep(const char *name);
void EndStep(bool stoppedOnError);

// Values shown, after the call that produced them succeeded: a value from a
// failed call is never a measurement.
void Measure(const std::string &name, double value, const char *unit = nullptr);
void MeasureText(const std::string &name, const std::string &value);
void MeasureSeries(const std::string &name, const std::vector<double> &values, const char *unit = nullptr);

template <typename T>
void MeasureSeries(const std::string &name, const T *values, std::size_t count, const char *unit = nullptr)
{
    if (!Recording())
        return;
    std::vector<double> series(values, values + count);
    MeasureSeries(name, series, unit);
}

// Records the verdict on values and returns the console's word for it,
// "PASS" or "FAIL".
const char *Judge(bool pass, std::initializer_list<Judged> values);
// The same for values that a library call read: when readError is set the
// call failed, so the word is "FAIL" whatever pass says.
const char *JudgeRead(const char *readError, bool pass, std::initializer_list<Judged> values);

// A library error text as the console prints it; null is ignored. An
// unexpected error leaves its step in error.
void LibraryError(const char *text);
// An error the script provokes on purpose (writes it expects to be refused).
void ExpectedLibraryError(const char *text);

} // namespace results

#endif
