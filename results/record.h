// Records runs in a store, each in one transaction: a run is there whole or
// not at all. A run already stored is kept as it is (its id is unique),
// unless it was stored incomplete and this copy is complete: then this one
// replaces it.
#ifndef RESULTS_RECORD_H
#define RESULTS_RECORD_H

#include "results/connection.h"
#include "results/run_data.h"

#include <string>
#include <vector>

namespace results_store {

enum class Recorded { Stored, AlreadyStored, Replaced };

bool RecordRun(Connection &db, const RunData &run, Recorded &outcome, std::string &error);

// What tuneprobe hands over at the end of a run: the report's lines as it
// wrote them. Opens (and creates or migrates) the store, records the run;
// false with the reason. A line the reader refuses fails it too.
bool RecordReport(const std::string &store, const std::vector<std::string> &lines, std::string &error);

} // namespace results_store

#endif
