#include "console/run_events.h"

namespace results {
namespace {

Recorder *g_recorder = nullptr;

} // namespace

void SetRecorder(Recorder *recorder)
{
    g_recorder = recorder;
}

void BeginStep(const char *name)
{
    if (g_recorder)
        g_recorder->StepBegins(name);
}

void EndStep(bool stoppedOnError)
{
    if (g_recorder)
        g_recorder->StepEnds(stoppedOnError);
}

void Measure(const char *name, double value, const char *unit)
{
    if (g_recorder)
        g_recorder->Measured(name, value, unit);
}

const char *Judge(bool pass, std::initializer_list<Judged> values)
{
    if (g_recorder)
        g_recorder->Verdict(pass, values.begin(), values.size());
    return pass ? "PASS" : "FAIL";
}

void LibraryError(const char *text)
{
    if (g_recorder && text != nullptr)
        g_recorder->LibraryError(text);
}

} // namespace results
