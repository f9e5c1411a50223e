#include "tuneprobe/run_record.h"

#include "tuneprobe/menu_items.h"

#include <cmath>

using json = nlohmann::ordered_json;

namespace {

// Whole numbers as JSON integers (2500000, not 2500000.0).
json Number(double value)
{
    if (std::isfinite(value) && std::nearbyint(value) == value && std::fabs(value) < 9007199254740992.0)
        return json(static_cast<long long>(value));
    return json(value);
}

} // namespace

void RunRecord::Start(const json &runStart)
{
    if (started_)
        return;
    started_ = true;
    ocp_.SchemaVersion();
    ocp_.RunStart(runStart);
    for (const std::string &message : heldErrors_)
        ocp_.RunLog("ERROR", message);
    heldErrors_.clear();
}

void RunRecord::RunError(const std::string &message)
{
    if (started_)
        ocp_.RunLog("ERROR", message);
    else
        heldErrors_.push_back(message);
}

void RunRecord::Console(const char *text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c != '\n') {
            line_.push_back(c);
            continue;
        }
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        // A verdict's word may be printed before the line break that ends
        // the line before it: empty lines do not count.
        if (!line_.empty())
            Resolve(line_);
        line_.clear();
    }
}

void RunRecord::Resolve(const std::string &line)
{
    for (const Pending &p : pending_) {
        ocp_.StepDiagnosis(p.step, p.verdict, p.pass, line);
        junit_.AddCase(p.caseName, p.pass, line);
    }
    pending_.clear();
}

void RunRecord::StepBegins(const char *name)
{
    if (step_ >= 0)
        StepEnds(false);
    step_ = nextStep_++;
    verdictsInStep_ = 0;
    stepError_.clear();
    ocp_.StepStart(step_, name);
    junit_.BeginSuite(name);
}

void RunRecord::StepEnds(bool stoppedOnError)
{
    if (step_ < 0)
        return;
    if (!pending_.empty())
        Resolve(line_);
    ocp_.StepEnd(step_, stoppedOnError ? "ERROR" : "COMPLETE");
    if (stoppedOnError) {
        ++stoppedSteps_;
        junit_.StopSuite(stepError_.empty() ? "the step stopped before its end" : stepError_);
    }
    step_ = -1;
}

void RunRecord::Measured(const char *name, double value, const char *unit)
{
    if (step_ < 0)
        return;
    json measurement = {{"name", name}, {"value", Number(value)}};
    if (unit != nullptr)
        measurement["unit"] = unit;
    ocp_.StepMeasurement(step_, measurement);
}

void RunRecord::Verdict(bool pass, const results::Judged *values, std::size_t count)
{
    if (!pass)
        ++failed_;
    std::string names;
    for (std::size_t i = 0; i < count; ++i) {
        const results::Judged &v = values[i];
        names += (i == 0 ? "" : ", ") + std::string(v.name);
        json measurement = {{"name", v.name}, {"value", Number(v.value)}};
        if (v.unit != nullptr)
            measurement["unit"] = v.unit;
        measurement["validators"] = json::array({{{"type", "EQUAL"}, {"value", Number(v.expected)}}});
        if (step_ >= 0)
            ocp_.StepMeasurement(step_, measurement);
    }
    ++verdictsInStep_;
    std::string verdict = MenuItemName(names.c_str()) + (pass ? "-pass" : "-fail");
    pending_.push_back(Pending{step_ < 0 ? 0 : step_, verdict, std::to_string(verdictsInStep_) + ". " + names, pass});
}

void RunRecord::LibraryError(const char *text)
{
    if (step_ < 0) {
        RunError(text);
        return;
    }
    stepError_ = text;
    ocp_.StepLog(step_, "ERROR", text);
    junit_.AddLibraryError(text);
}

void RunRecord::Finish(bool complete, const std::string &reason)
{
    if (finished_)
        return;
    if (step_ >= 0)
        StepEnds(true);
    if (!reason.empty())
        RunError(reason);
    if (!complete)
        junit_.AddRunError(reason.empty() ? "the run did not complete" : reason);
    if (!started_)
        Start(prepared_);
    finished_ = true;
    bool pass = complete && failed_ == 0 && stoppedSteps_ == 0;
    ocp_.RunEnd(complete && stoppedSteps_ == 0 ? "COMPLETE" : "ERROR", pass ? "PASS" : "FAIL");
}

int RunRecord::ExitStatus() const
{
    return failed_ == 0 && stoppedSteps_ == 0 ? 0 : 2;
}
