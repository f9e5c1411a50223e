#include "console/run_events.h"

namespace results {
namespace {

Recorder *g_recorder = nullptr;

} // namespace

void SetRecorder(Recorder *recorder)
{
    g_recorder = recorder;
}

bool Recording()
{
    return g_recorder != nullptr;
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

void Measure(const std::string &name, double value, const char *unit)
{
    if (g_recorder)
        g_recorder->Measured(name, value, unit);
}

void MeasureText(const std::string &name, const std::string &value)
{
    if (g_recorder)
        g_recorder->MeasuredText(name, value);
}

void MeasureSeries(const std::string &name, const std::vector<double> &values, const char *unit)
{
    if (g_recorder)
        g_recorder->MeasuredSeries(name, values, unit);
}

const char *Judge(bool pass, std::initializer_list<Judged> values)
{
    return JudgeRead(nullptr, pass, values);
}

const char *JudgeRead(const char *readError, bool pass, std::initializer_list<Judged> values)
{
    pass = pass && readError == nullptr;
    if (g_recorder)
        g_recorder->Verdict(pass, values.begin(), values.size(), readError);
    return pass ? "PASS" : "FAIL";
}

void LibraryError(const char *text)
{
    if (g_recorder && text != nullptr)
        g_recorder->LibraryError(text, false);
}

void ExpectedLibraryError(const char *text)
{
    if (g_recorder && text != nullptr)
        g_recorder->LibraryError(text, true);
}

} // namespace results
