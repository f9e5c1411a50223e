// The report of an unattended run as OCP Test and Validation Output, schema
// 2.0: one JSON object a line, each numbered and stamped, written as the run
// goes and flushed line by line, so a run that dies leaves a report that
// ends where it died (without testRunEnd).
#ifndef TUNEPROBE_OCP_REPORT_H
#define TUNEPROBE_OCP_REPORT_H

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>

class OcpReport {
public:
    // Creates or empties the file; false with a message when it cannot.
    bool Create(const std::string &path, std::string &message);
    bool IsOpen() const { return file_ != nullptr; }
    // Removes the file again (a run refused before it started).
    void Discard();

    void SchemaVersion();
    void RunStart(const nlohmann::ordered_json &start);
    void RunLog(const std::string &severity, const std::string &message);
    void RunEnd(const char *status, const char *result);

    void StepStart(int step, const std::string &name);
    void StepMeasurement(int step, const nlohmann::ordered_json &measurement);
    void StepDiagnosis(int step, const std::string &verdict, bool pass, const std::string &message);
    void StepLog(int step, const std::string &severity, const std::string &message);
    void StepEnd(int step, const char *status);

private:
    struct Closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };
    void Write(nlohmann::ordered_json line);
    void WriteStep(int step, const char *kind, nlohmann::ordered_json body);

    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
    long long sequence_ = 0;
};

// The time now as RFC 3339 in UTC with milliseconds: 2026-12-08T04:50:01.123Z.
std::string Rfc3339Now();

#endif
