#include "tuneprobe/ocp_report.h"

#include <cerrno>
#include <cstring>
#include <ctime>

using Json = nlohmann::ordered_json;

std::string Rfc3339Now()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

void OcpReport::Adopt(std::FILE *file, const std::string &path)
{
    file_.reset(file);
    path_ = path;
}

void OcpReport::Write(const Json &line, const std::string &stamp)
{
    if (!file_ && !keepLines_)
        return;
    Json stamped = {{"sequenceNumber", sequence_++}, {"timestamp", stamp.empty() ? Rfc3339Now() : stamp}};
    stamped.update(line);
    // Texts come from the device and the library: bytes that are not UTF-8
    // are replaced rather than allowed to stop the report.
    std::string text = stamped.dump(-1, ' ', false, Json::error_handler_t::replace);
    text.push_back('\n');
    if (keepLines_)
        lines_.push_back(text);
    if (!file_)
        return;
    bool written = std::fwrite(text.data(), 1, text.size(), file_.get()) == text.size();
    if ((std::fflush(file_.get()) != 0 || !written) && writeError_.empty())
        writeError_ = "cannot write the report " + path_ + ": " + std::strerror(errno);
}

void OcpReport::WriteStep(int step, const char *kind, Json body, const std::string &stamp)
{
    Write({{"testStepArtifact", {{"testStepId", std::to_string(step)}, {kind, std::move(body)}}}}, stamp);
}

void OcpReport::SchemaVersion(const std::string &stamp)
{
    Write({{"schemaVersion", {{"major", 2}, {"minor", 0}}}}, stamp);
}

void OcpReport::RunArtifact(const Json &body, const std::string &stamp)
{
    Write({{"testRunArtifact", body}}, stamp);
}

void OcpReport::RunEnd(const char *status, const char *result)
{
    RunArtifact({{"testRunEnd", {{"status", status}, {"result", result}}}});
}

void OcpReport::StepStart(int step, const std::string &name)
{
    WriteStep(step, "testStepStart", {{"name", name}});
}

void OcpReport::StepMeasurement(int step, const Json &measurement)
{
    WriteStep(step, "measurement", measurement);
}

void OcpReport::StepSeries(int step, const std::string &id, const Json &start, const std::vector<Json> &values)
{
    if (!file_ && !keepLines_)
        return;
    std::string stamp = Rfc3339Now();
    WriteStep(step, "measurementSeriesStart", start, stamp);
    for (std::size_t i = 0; i < values.size(); ++i)
        WriteStep(step, "measurementSeriesElement",
                  {{"index", i}, {"value", values[i]}, {"timestamp", stamp}, {"measurementSeriesId", id}}, stamp);
    WriteStep(step, "measurementSeriesEnd", {{"measurementSeriesId", id}, {"totalCount", values.size()}}, stamp);
}

void OcpReport::StepDiagnosis(int step, const std::string &verdict, bool pass, const std::string &message)
{
    WriteStep(step, "diagnosis", {{"verdict", verdict}, {"type", pass ? "PASS" : "FAIL"}, {"message", message}});
}

void OcpReport::StepLog(int step, const std::string &severity, const std::string &message)
{
    WriteStep(step, "log", {{"severity", severity}, {"message", message}});
}

void OcpReport::StepEnd(int step, const char *status)
{
    WriteStep(step, "testStepEnd", {{"status", status}});
}
