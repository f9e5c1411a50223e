#include "tuneprobe/ocp_report.h"

#include <cerrno>
#include <cstring>
#include <ctime>

using json = nlohmann::ordered_json;

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

void OcpReport::Write(json line)
{
    if (!file_)
        return;
    json stamped = {{"sequenceNumber", sequence_++}, {"timestamp", Rfc3339Now()}};
    stamped.update(line);
    // Texts come from the device and the library: bytes that are not UTF-8
    // are replaced rather than allowed to stop the report.
    std::string text = stamped.dump(-1, ' ', false, json::error_handler_t::replace);
    text.push_back('\n');
    bool written = std::fwrite(text.data(), 1, text.size(), file_.get()) == text.size();
    if ((std::fflush(file_.get()) != 0 || !written) && writeError_.empty())
        writeError_ = "cannot write the report " + path_ + ": " + std::strerror(errno);
}

void OcpReport::WriteStep(int step, const char *kind, json body)
{
    Write({{"testStepArtifact", {{"testStepId", std::to_string(step)}, {kind, std::move(body)}}}});
}

void OcpReport::SchemaVersion()
{
    Write({{"schemaVersion", {{"major", 2}, {"minor", 0}}}});
}

void OcpReport::RunStart(const json &start)
{
    Write({{"testRunArtifact", {{"testRunStart", start}}}});
}

void OcpReport::RunLog(const std::string &severity, const std::string &message)
{
    Write({{"testRunArtifact", {{"log", {{"severity", severity}, {"message", message}}}}}});
}

void OcpReport::RunEnd(const char *status, const char *result)
{
    Write({{"testRunArtifact", {{"testRunEnd", {{"status", status}, {"result", result}}}}}});
}

void OcpReport::StepStart(int step, const std::string &name)
{
    WriteStep(step, "testStepStart", {{"name", name}});
}

void OcpReport::StepMeasurement(int step, const json &measurement)
{
    WriteStep(step, "measurement", measurement);
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
