#include "results/report_reader.h"

#include "results/timestamps.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

namespace results_store {
namespace {

using Json = nlohmann::json;

std::string Text(const Json &object, const char *key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The limits the validators set, and whether value passes those that judge
// numbers; pass stays null when none of them does.
struct Judgement {
    std::optional<double> low;
    std::optional<double> high;
    std::optional<bool> pass;
};

void Judge(const Json &validators, double value, Judgement &judgement)
{
    if (!validators.is_array())
        return;
    for (const Json &validator : validators) {
        if (!validator.is_object())
            continue;
        std::string type = Text(validator, "type");
        auto limit = validator.find("value");
        if (limit == validator.end())
            continue;
        bool ok = true;
        if (limit->is_number()) {
            double bound = limit->get<double>();
            if (type == "EQUAL") {
                ok = value == bound;
                judgement.low = bound;
                judgement.high = bound;
            } else if (type == "NOT_EQUAL") {
                ok = value != bound;
            } else if (type == "GREATER_THAN" || type == "GREATER_THAN_OR_EQUAL") {
                ok = type == "GREATER_THAN" ? value > bound : value >= bound;
                judgement.low = bound;
            } else if (type == "LESS_THAN" || type == "LESS_THAN_OR_EQUAL") {
                ok = type == "LESS_THAN" ? value < bound : value <= bound;
                judgement.high = bound;
            } else {
                continue;
            }
        } else if (limit->is_array() && (type == "IN_SET" || type == "NOT_IN_SET")) {
            bool found = false;
            for (const Json &member : *limit)
                found = found || (member.is_number() && member.get<double>() == value);
            ok = type == "IN_SET" ? found : !found;
        } else {
            continue;
        }
        judgement.pass = judgement.pass.value_or(true) && ok;
    }
}

bool NumberOf(const Json &value, double &number)
{
    if (value.is_number()) {
        number = value.get<double>();
        return std::isfinite(number);
    }
    if (value.is_boolean()) {
        number = value.get<bool>() ? 1.0 : 0.0;
        return true;
    }
    return false;
}

// Reads the exact text tuneprobe writes for a series element, most of a
// report's lines, without building a JSON tree: about five times faster.
// Anything else (other spacing or key order, escapes, a bad number) is
// left to the JSON parser, which reads it the same way or refuses it.
class ElementScanner {
public:
    explicit ElementScanner(const std::string &text) : text_(text) {}

    bool Literal(const char *literal)
    {
        std::size_t length = std::strlen(literal);
        if (text_.compare(at_, length, literal) != 0)
            return false;
        at_ += length;
        return true;
    }
    // A string without escapes.
    bool String(std::string *value)
    {
        if (at_ >= text_.size() || text_[at_] != '"')
            return false;
        std::size_t end = text_.find_first_of("\"\\", at_ + 1);
        if (end == std::string::npos || text_[end] != '"')
            return false;
        for (std::size_t i = at_ + 1; i < end; ++i)
            if (static_cast<unsigned char>(text_[i]) < 0x20)
                return false;
        if (value != nullptr)
            value->assign(text_, at_ + 1, end - at_ - 1);
        at_ = end + 1;
        return true;
    }
    // A number as JSON writes it.
    bool Number(double *value)
    {
        std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-')
            ++at_;
        if (at_ < text_.size() && text_[at_] == '0')
            ++at_;
        else if (!Digits())
            return false;
        if (at_ < text_.size() && text_[at_] == '.' && (++at_, !Digits()))
            return false;
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-'))
                ++at_;
            if (!Digits())
                return false;
        }
        if (value != nullptr)
            *value = std::strtod(text_.c_str() + start, nullptr);
        return value == nullptr || std::isfinite(*value);
    }
    bool AtEnd() const { return at_ == text_.size(); }

private:
    bool Digits()
    {
        std::size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
            ++at_;
        return at_ > start;
    }

    const std::string &text_;
    std::size_t at_ = 0;
};

bool SeriesElement(const std::string &text, std::string &id, double &value)
{
    ElementScanner s(text);
    return s.Literal("{\"sequenceNumber\":") && s.Number(nullptr) && s.Literal(",\"timestamp\":") &&
           s.String(nullptr) && s.Literal(",\"testStepArtifact\":{\"testStepId\":") && s.String(nullptr) &&
           s.Literal(",\"measurementSeriesElement\":{\"index\":") && s.Number(nullptr) && s.Literal(",\"value\":") &&
           s.Number(&value) && s.Literal(",\"timestamp\":") && s.String(nullptr) &&
           s.Literal(",\"measurementSeriesId\":") && s.String(&id) && s.Literal("}}}") && s.AtEnd();
}

} // namespace

void ReportReader::Finish()
{
    if (open_)
        done_.push_back(std::move(run_));
    run_ = RunData{};
    open_ = false;
    seq_ = 0;
}

void ReportReader::End()
{
    Finish();
}

std::vector<RunData> ReportReader::TakeRuns()
{
    std::vector<RunData> runs = std::move(done_);
    done_.clear();
    return runs;
}

bool ReportReader::AddElement(const std::string &id, double value, std::string &reason)
{
    for (auto it = run_.series.rbegin(); it != run_.series.rend(); ++it) {
        if (it->id != id)
            continue;
        it->values.push_back(value);
        if (!it->validators.empty()) {
            Judgement judgement;
            Judge(Json::parse(it->validators, nullptr, false), value, judgement);
            if (judgement.pass)
                it->pass = it->pass.value_or(true) && *judgement.pass;
        }
        return true;
    }
    reason = "element of series " + id + ", which never started";
    return false;
}

bool ReportReader::Line(const std::string &text, std::string &reason)
{
    if (text.find_first_not_of(" \t\r") == std::string::npos)
        return true; // a blank line carries nothing
    std::string elementId;
    double elementValue = 0;
    if (open_ && SeriesElement(text, elementId, elementValue)) {
        ++seq_;
        return AddElement(elementId, elementValue, reason);
    }
    Json line = Json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) {
        reason = line.is_discarded() ? "not a JSON object (malformed or cut short)" : "not a JSON object";
        return false;
    }
    std::string stamp = Text(line, "timestamp");
    if (auto schema = line.find("schemaVersion"); schema != line.end()) {
        Finish();
        if (!schema->is_object() || schema->value("major", 0) != 2) {
            reason = "not OCP schema 2 (schemaVersion " + schema->dump() + ")";
            return false;
        }
        return true;
    }
    auto runArtifact = line.find("testRunArtifact");
    auto stepArtifact = line.find("testStepArtifact");
    bool isRun = runArtifact != line.end();
    const Json *artifact = isRun ? &*runArtifact : stepArtifact != line.end() ? &*stepArtifact : nullptr;
    if (artifact == nullptr || !artifact->is_object()) {
        reason = "neither a schemaVersion, testRunArtifact nor testStepArtifact";
        return false;
    }
    if (auto start = artifact->find("testRunStart"); start != artifact->end()) {
        Finish();
        if (!start->is_object()) {
            reason = "testRunStart is not an object";
            return false;
        }
        int64_t startMs = 0;
        if (!TimestampMs(stamp, startMs)) {
            reason = "testRunStart without a valid timestamp";
            return false;
        }
        RunData run;
        run.startTime = stamp;
        run.startMs = startMs;
        run.program = Text(*start, "name");
        run.programVersion = Text(*start, "version");
        run.commandLine = Text(*start, "commandLine");
        const Json dut = start->value("dutInfo", Json::object());
        run.dutId = dut.is_object() ? Text(dut, "dutInfoId") : "";
        if (run.dutId.empty())
            run.dutId = "unknown";
        const Json metadata = start->value("metadata", Json::object());
        if (metadata.is_object()) {
            run.metadata = metadata.dump(-1, ' ', false, Json::error_handler_t::replace);
            run.runId = Text(metadata, "runId");
            run.station = Text(metadata, "station");
            run.operatorName = Text(metadata, "operator");
            run.fixture = Text(metadata, "fixture");
            run.hostname = Text(metadata, "hostname");
        }
        if (run.runId.empty()) {
            // A report from elsewhere: its start line names it, the same
            // on every import.
            uint64_t hash = 14695981039346656037ull;
            for (unsigned char c : stamp + start->dump())
                hash = (hash ^ c) * 1099511628211ull;
            char id[24];
            std::snprintf(id, sizeof id, "report-%016llx", static_cast<unsigned long long>(hash));
            run.runId = id;
        }
        run_ = std::move(run);
        open_ = true;
        return true;
    }
    if (!open_) {
        reason = "before any testRunStart";
        return false;
    }
    ++seq_;
    if (isRun) {
        if (auto end = artifact->find("testRunEnd"); end != artifact->end() && end->is_object()) {
            run_.result = Text(*end, "result");
            run_.status = Text(*end, "status");
            run_.endTime = stamp;
            int64_t ms = 0;
            if (TimestampMs(stamp, ms))
                run_.endMs = ms;
            run_.complete = true;
            Finish();
            return true;
        }
    }
    std::string step = !isRun ? Text(*artifact, "testStepId") : "";
    if (auto log = artifact->find("log"); log != artifact->end() && log->is_object()) {
        run_.logs.push_back({seq_, step, Text(*log, "severity"), "", Text(*log, "message"), stamp});
        return true;
    }
    if (auto error = artifact->find("error"); error != artifact->end() && error->is_object()) {
        run_.logs.push_back({seq_, step, "ERROR", Text(*error, "symptom"), Text(*error, "message"), stamp});
        return true;
    }
    if (isRun) {
        reason = "a testRunArtifact of no kind this reader knows";
        return false;
    }
    if (step.empty()) {
        reason = "testStepArtifact without a testStepId";
        return false;
    }
    if (auto begin = artifact->find("testStepStart"); begin != artifact->end()) {
        run_.steps.push_back({step, begin->is_object() ? Text(*begin, "name") : "", "", stamp, ""});
        return true;
    }
    if (auto end = artifact->find("testStepEnd"); end != artifact->end()) {
        for (StepData &data : run_.steps)
            if (data.id == step) {
                data.status = end->is_object() ? Text(*end, "status") : "";
                data.endTime = stamp;
                return true;
            }
        reason = "testStepEnd of step " + step + ", which never started";
        return false;
    }
    if (auto m = artifact->find("measurement"); m != artifact->end() && m->is_object()) {
        MeasurementData data;
        data.seq = seq_;
        data.step = step;
        data.name = Text(*m, "name");
        data.unit = Text(*m, "unit");
        data.time = stamp;
        auto value = m->find("value");
        if (data.name.empty() || value == m->end()) {
            reason = "measurement without a name or a value";
            return false;
        }
        double number = 0;
        if (NumberOf(*value, number))
            data.value = number;
        else
            data.text = value->is_string() ? value->get<std::string>() : value->dump();
        if (auto validators = m->find("validators"); validators != m->end()) {
            data.validators = validators->dump();
            if (data.value) {
                Judgement judgement;
                Judge(*validators, *data.value, judgement);
                data.low = judgement.low;
                data.high = judgement.high;
                data.pass = judgement.pass;
            }
        }
        run_.measurements.push_back(std::move(data));
        return true;
    }
    if (auto s = artifact->find("measurementSeriesStart"); s != artifact->end() && s->is_object()) {
        SeriesData data;
        data.id = Text(*s, "measurementSeriesId");
        data.step = step;
        data.name = Text(*s, "name");
        data.unit = Text(*s, "unit");
        data.time = stamp;
        if (auto validators = s->find("validators"); validators != s->end())
            data.validators = validators->dump();
        run_.series.push_back(std::move(data));
        return true;
    }
    if (auto e = artifact->find("measurementSeriesElement"); e != artifact->end() && e->is_object()) {
        double number = 0;
        if (!NumberOf(e->value("value", Json()), number)) {
            reason = "series element whose value is not a number";
            return false;
        }
        return AddElement(Text(*e, "measurementSeriesId"), number, reason);
    }
    if (artifact->contains("measurementSeriesEnd"))
        return true;
    if (auto d = artifact->find("diagnosis"); d != artifact->end() && d->is_object()) {
        run_.diagnoses.push_back({seq_, step, Text(*d, "verdict"), Text(*d, "type"), Text(*d, "message"), stamp});
        return true;
    }
    // Files, extensions and the like: nothing the store keeps.
    return true;
}

} // namespace results_store
