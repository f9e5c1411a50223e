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
#include <vector>

class OcpReport {
public:
    // Takes the file opened for writing at path (emptied already).
    void Adopt(std::FILE *file, const std::string &path);
    bool IsOpen() const { return file_ != nullptr; }
    // The first write that failed, or empty.
    const std::string &WriteError() const { return writeError_; }
    // Keeps a copy of every line (with or without a file), for the results
    // store at the run's end.
    void KeepLines() { keepLines_ = true; }
    const std::vector<std::string> &Lines() const { return lines_; }

    // Each artifact is stamped with when it happened: now, unless given.
    void SchemaVersion(const std::string &stamp = "");
    // A testRunArtifact body ({"testRunStart": ...}, {"log": ...}).
    void RunArtifact(const nlohmann::ordered_json &body, const std::string &stamp = "");
    void RunEnd(const char *status, const char *result);

    void StepStart(int step, const std::string &name);
    void StepMeasurement(int step, const nlohmann::ordered_json &measurement);
    // A series of values read at one time: start (with its validators),
    // one element per value with its index, end.
    void StepSeries(int step, const std::string &id, const nlohmann::ordered_json &start,
                    const std::vector<nlohmann::ordered_json> &values);
    void StepDiagnosis(int step, const std::string &verdict, bool pass, const std::string &message);
    void StepLog(int step, const std::string &severity, const std::string &message);
    void StepEnd(int step, const char *status);

private:
    struct Closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };
    void Write(const nlohmann::ordered_json &line, const std::string &stamp);
    void WriteStep(int step, const char *kind, nlohmann::ordered_json body, const std::string &stamp = "");

    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
    std::string writeError_;
    long long sequence_ = 0;
    bool keepLines_ = false;
    std::vector<std::string> lines_;
};

// The time now as RFC 3339 in UTC with milliseconds: 2026-12-08T04:50:01.123Z.
std::string Rfc3339Now();

#endif
