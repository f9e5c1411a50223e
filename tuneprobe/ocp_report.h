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
    // Takes the file opened for writing at path (emptied already).
    void Adopt(std::FILE *file, const std::string &path);
    // The first write that failed, or empty.
    const std::string &WriteError() const { return writeError_; }

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
    std::string writeError_;
    long long sequence_ = 0;
};

// The time now as RFC 3339 in UTC with milliseconds: 2026-12-08T04:50:01.123Z.
std::string Rfc3339Now();

#endif
