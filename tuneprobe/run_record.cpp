#include "tuneprobe/run_record.h"

#include "tuneprobe/menu_items.h"

#include <cmath>

using Json = nlohmann::ordered_json;

namespace {

// Whole numbers as JSON integers (2500000, not 2500000.0).
Json Number(double value)
{
    if (std::isfinite(value) && std::nearbyint(value) == value && std::fabs(value) < 9007199254740992.0)
        return Json(static_cast<long long>(value));
    return Json(value);
}

Json Measurement(const std::string &name, Json value, const char *unit)
{
    Json measurement = {{"name", name}, {"value", std::move(value)}};
    if (unit != nullptr)
        measurement["unit"] = unit;
    return measurement;
}

std::string ValueText(const Json &value, const char *unit)
{
    std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    return unit != nullptr ? text + " " + unit : text;
}

} // namespace

void RunRecord::Start(const Json &runStart)
{
    if (started_)
        return;
    started_ = true;
    ocp_.RunArtifact({{"testRunStart", runStart}}, startStamp_);
    for (const Held &held : held_)
        ocp_.RunArtifact(held.body, held.stamp);
    held_.clear();
}

void RunRecord::RunArtifact(const Json &body)
{
    if (started_)
        ocp_.RunArtifact(body);
    else
        held_.push_back(Held{Rfc3339Now(), body});
}

void RunRecord::RunLog(const std::string &severity, const std::string &message)
{
    RunArtifact({{"log", {{"severity", severity}, {"message", message}}}});
}

void RunRecord::RunError(const std::string &message)
{
    runErrors_ = true;
    RunLog("ERROR", message);
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
        EndOpenStep({});
    step_ = nextStep_++;
    stepName_ = name;
    verdictsInStep_ = 0;
    stepError_.clear();
    stepStopped_ = false;
    ocp_.StepStart(step_, name);
    junit_.BeginSuite(name);
}

void RunRecord::StepEnds(bool stoppedOnError)
{
    stepStopped_ = stepStopped_ || stoppedOnError;
    EndOpenStep({});
}

void RunRecord::EndOpenStep(const Cause &cause)
{
    if (step_ < 0)
        return;
    if (!pending_.empty())
        Resolve(line_);
    bool cut = !cause.symptom.empty();
    bool errored = cut || stepStopped_ || !stepError_.empty();
    if (cut) {
        ocp_.StepLog(step_, "ERROR", cause.text);
        junit_.AddErrorCase(cause.symptom, cause.symptom, cause.text);
    } else if (stepStopped_) {
        junit_.AddErrorCase("step stopped on a library error", "library error",
                            stepError_.empty() ? "the step stopped before its end" : stepError_);
    } else if (errored) {
        junit_.AddErrorCase("library error", "library error", stepError_);
    }
    if (errored)
        ++erroredSteps_;
    ocp_.StepEnd(step_, errored ? "ERROR" : "COMPLETE");
    junit_.EndSuite();
    step_ = -1;
}

std::vector<RunRecord::LimitCheck> RunRecord::CheckLimits(const std::string &name, Json &measurement,
                                                          const std::vector<Json> &values, const char *unit)
{
    std::vector<LimitCheck> checks;
    if (limits_ == nullptr)
        return checks;
    for (const Limit *limit : limits_->Find(name, stepName_)) {
        limitsMet_.insert(limit);
        Json &validators = measurement["validators"];
        for (const Json &validator : limit->validators)
            validators.push_back(validator);
        std::string wanted = "limit " + DescribeValidators(limit->validators);
        std::size_t bad = 0;
        while (bad < values.size() && Satisfies(limit->validators, values[bad]))
            ++bad;
        LimitCheck check{name, !values.empty() && bad == values.size(), ""};
        if (values.empty())
            check.message = name + ": no values, " + wanted;
        else if (values.size() == 1 && !measurement.contains("measurementSeriesId"))
            check.message = name + " = " + ValueText(values[0], unit) + ", " + wanted;
        else if (check.pass)
            check.message = name + ": " + std::to_string(values.size()) + " values, " + wanted;
        else
            check.message = name + "[" + std::to_string(bad) + "] = " + ValueText(values[bad], unit) + ", " + wanted;
        checks.push_back(std::move(check));
    }
    return checks;
}

void RunRecord::Diagnose(const std::string &verdict, bool pass, const std::string &message, const std::string &caseName)
{
    if (!pass)
        ++failed_;
    ocp_.StepDiagnosis(step_, verdict, pass, message);
    junit_.AddCase(caseName, pass, message);
}

void RunRecord::ReportChecks(const std::vector<LimitCheck> &checks)
{
    for (const LimitCheck &check : checks)
        Diagnose(MenuItemName(check.name.c_str()) + (check.pass ? "-limit-pass" : "-limit-fail"), check.pass,
                 check.message, "limit: " + check.name);
}

void RunRecord::Measured(const std::string &name, double value, const char *unit)
{
    if (step_ < 0)
        return;
    Json measurement = Measurement(name, Number(value), unit);
    std::vector<LimitCheck> checks = CheckLimits(name, measurement, {measurement["value"]}, unit);
    ocp_.StepMeasurement(step_, measurement);
    ReportChecks(checks);
}

void RunRecord::MeasuredText(const std::string &name, const std::string &value)
{
    if (step_ < 0)
        return;
    Json measurement = Measurement(name, value, nullptr);
    std::vector<LimitCheck> checks = CheckLimits(name, measurement, {measurement["value"]}, nullptr);
    ocp_.StepMeasurement(step_, measurement);
    ReportChecks(checks);
}

void RunRecord::MeasuredSeries(const std::string &name, const std::vector<double> &values, const char *unit)
{
    if (step_ < 0)
        return;
    std::string id = std::to_string(nextSeries_++);
    Json start = {{"name", name}};
    if (unit != nullptr)
        start["unit"] = unit;
    start["measurementSeriesId"] = id;
    std::vector<Json> elements;
    elements.reserve(values.size());
    for (double value : values)
        elements.push_back(Number(value));
    std::vector<LimitCheck> checks = CheckLimits(name, start, elements, unit);
    ocp_.StepSeries(step_, id, start, elements);
    ReportChecks(checks);
}

void RunRecord::Verdict(bool pass, const results::Judged *values, std::size_t count, const char *readError)
{
    if (!pass)
        ++failed_;
    std::string names;
    std::vector<LimitCheck> checks;
    for (std::size_t i = 0; i < count; ++i) {
        const results::Judged &v = values[i];
        names += (i == 0 ? "" : ", ") + std::string(v.name);
        // A value the library did not give is no measurement.
        if (readError != nullptr || step_ < 0)
            continue;
        Json measurement = Measurement(v.name, Number(v.value), v.unit);
        measurement["validators"] = Json::array({{{"type", "EQUAL"}, {"value", Number(v.expected)}}});
        std::vector<LimitCheck> found = CheckLimits(v.name, measurement, {measurement["value"]}, v.unit);
        ocp_.StepMeasurement(step_, measurement);
        checks.insert(checks.end(), found.begin(), found.end());
    }
    ReportChecks(checks);
    ++verdictsInStep_;
    const char *ending = readError != nullptr ? "-not-measured" : pass ? "-pass" : "-fail";
    pending_.push_back(Pending{step_ < 0 ? 0 : step_, MenuItemName(names.c_str()) + ending,
                               std::to_string(verdictsInStep_) + ". " + names, pass});
}

void RunRecord::LibraryError(const char *text, bool expected)
{
    // Refusals the script provokes on purpose, and connection attempts that
    // are tried again, are warnings.
    const char *severity = expected ? "WARNING" : "ERROR";
    if (step_ < 0) {
        if (expected)
            RunLog(severity, text);
        else
            RunError(text);
        return;
    }
    if (!expected && stepError_.empty())
        stepError_ = text;
    ocp_.StepLog(step_, severity, text);
    junit_.AddLibraryError(text);
}

void RunRecord::Finish(bool complete, const Cause &cause)
{
    if (finished_)
        return;
    complete_ = complete;
    if (!cause.symptom.empty())
        RunArtifact({{"error", {{"symptom", cause.symptom}, {"message", cause.text}}}});
    if (step_ >= 0)
        EndOpenStep(cause.symptom.empty() ? Cause{"incomplete", "The step did not end"} : cause);
    else if (!cause.symptom.empty())
        junit_.AddRunError("run", cause.symptom, cause.text);
    if (!started_)
        Start(prepared_);
    // A measurement the limits name that a whole run never made fails the
    // unit; a run cut short leaves the unit unjudged instead.
    if (complete && limits_ != nullptr) {
        std::vector<const Limit *> missing;
        for (const Limit &limit : limits_->All())
            if (limitsMet_.count(&limit) == 0)
                missing.push_back(&limit);
        if (!missing.empty()) {
            StepBegins("Limits");
            for (const Limit *limit : missing) {
                std::string where = limit->step.empty() ? "" : " in step " + limit->step;
                Diagnose(MenuItemName(limit->measurement.c_str()) + "-not-measured", false,
                         limit->measurement + " was not measured" + where + ", limit " +
                             DescribeValidators(limit->validators),
                         "limit: " + limit->measurement);
            }
            EndOpenStep({});
        }
    }
    finished_ = true;
    bool whole = complete && erroredSteps_ == 0 && !runErrors_;
    ocp_.RunEnd(whole ? "COMPLETE" : "ERROR", failed_ > 0 ? "FAIL" : whole ? "PASS" : "NOT_APPLICABLE");
}

int RunRecord::ExitStatus() const
{
    if (failed_ > 0)
        return 2;
    return complete_ && erroredSteps_ == 0 && !runErrors_ && !resultsLost_ ? 0 : 3;
}
