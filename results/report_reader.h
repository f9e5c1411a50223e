// Reads OCP 2.0 JSON lines into runs. A stream may hold several reports one
// after another: a schemaVersion or testRunStart line after a run's start
// begins the next run. A line that cannot be read is refused with a reason
// and the rest still read; a run cut short (no testRunEnd) is incomplete.
#ifndef RESULTS_REPORT_READER_H
#define RESULTS_REPORT_READER_H

#include "results/run_data.h"

#include <string>
#include <vector>

namespace results_store {

class ReportReader {
public:
    // Reads one line (without its line end); false with the reason when it
    // is refused.
    bool Line(const std::string &text, std::string &reason);
    // Ends the input: the open run, if any, is finished.
    void End();
    // The runs finished so far, taken out of the reader.
    std::vector<RunData> TakeRuns();

private:
    void Finish();
    bool AddElement(const std::string &id, double value, std::string &reason);

    RunData run_;
    bool open_ = false;
    int64_t seq_ = 0;
    std::vector<RunData> done_;
};

} // namespace results_store

#endif
