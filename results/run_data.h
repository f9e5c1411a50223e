// One run as the store holds it, read from its OCP report.
#ifndef RESULTS_RUN_DATA_H
#define RESULTS_RUN_DATA_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace results_store {

struct StepData {
    std::string id;
    std::string name;
    std::string status; // empty until testStepEnd
    std::string startTime;
    std::string endTime;
};

struct MeasurementData {
    int64_t seq = 0;
    std::string step;
    std::string name;
    std::optional<double> value;     // numbers and booleans
    std::optional<std::string> text; // other values
    std::string unit;
    std::string validators; // JSON array, empty for none
    std::optional<double> low;
    std::optional<double> high;
    std::optional<bool> pass; // null when nothing judged it
    std::string time;
};

struct SeriesData {
    std::string id;
    std::string step;
    std::string name;
    std::string unit;
    std::string validators;
    std::vector<double> values;
    std::optional<bool> pass;
    std::string time;
};

struct DiagnosisData {
    int64_t seq = 0;
    std::string step;
    std::string verdict;
    std::string type;
    std::string message;
    std::string time;
};

struct LogData {
    int64_t seq = 0;
    std::string step; // empty for the run's own
    std::string severity;
    std::string symptom; // errors only
    std::string message;
    std::string time;
};

struct RunData {
    std::string runId;
    std::string dutId;
    std::string station;
    std::string operatorName;
    std::string fixture;
    std::string hostname;
    std::string metadata = "{}"; // the run's metadata, a JSON object
    std::string program;
    std::string programVersion;
    std::string commandLine;
    std::string startTime;
    int64_t startMs = 0;
    std::string endTime;
    std::optional<int64_t> endMs;
    std::string result; // empty without testRunEnd
    std::string status;
    bool complete = false; // testRunEnd seen
    std::vector<StepData> steps;
    std::vector<MeasurementData> measurements;
    std::vector<SeriesData> series;
    std::vector<DiagnosisData> diagnoses;
    std::vector<LogData> logs;
};

} // namespace results_store

#endif
