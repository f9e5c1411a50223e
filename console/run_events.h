// What the scripted tests tell whoever records a run (the unattended mode's
// reports): steps, measured values, verdicts and the library's error texts.
// With no recorder set every call does nothing, so the console behaves the
// same with and without one.
#ifndef TUNEPROBE_RUN_EVENTS_H
#define TUNEPROBE_RUN_EVENTS_H

#include <cstddef>
#include <initializer_list>

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
    // A value shown but not judged.
    virtual void Measured(const char *name, double value, const char *unit) = 0;
    // A verdict; the console prints its word on the line in progress.
    virtual void Verdict(bool pass, const Judged *values, std::size_t count) = 0;
    virtual void LibraryError(const char *text) = 0;
};

// The recorder that gets the events from now on; null for none.
void SetRecorder(Recorder *recorder);

void BeginStep(const char *name);
void EndStep(bool stoppedOnError);
void Measure(const char *name, double value, const char *unit);
// Records the verdict on values and returns the console's word for it,
// "PASS" or "FAIL".
const char *Judge(bool pass, std::initializer_list<Judged> values);
// A library error text as the console prints it; null is ignored.
void LibraryError(const char *text);

} // namespace results

#endif
