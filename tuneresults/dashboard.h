// The dashboard of tuneresults serve: one function a view, each answering
// with an HTTP status and a JSON body (an object; {"error": ...} when the
// status is not 200), and the HTML page that shows that JSON. The pages hold
// no value from the store but the JSON embedded in them; their script builds
// the document from it with textContent.
#ifndef TUNERESULTS_DASHBOARD_H
#define TUNERESULTS_DASHBOARD_H

#include "results/connection.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

using ViewParams = std::multimap<std::string, std::string>;

struct ViewAnswer {
    int status = 200;
    nlohmann::ordered_json body = nlohmann::ordered_json::object();
};

// The line now: yield per station today and over the last 7 days, the
// latest runs, the last failures. nowMs is the time of the request.
ViewAnswer LineView(results_store::Connection &db, const ViewParams &params, int64_t nowMs);
// Failed verdicts and measurements, most frequent first (since, until).
ViewAnswer ParetoView(results_store::Connection &db, const ViewParams &params, int64_t nowMs);
// One numeric measurement (name): statistics, histogram, trend.
ViewAnswer MeasurementView(results_store::Connection &db, const ViewParams &params, int64_t nowMs);
// One unit (id): its runs with their steps, measurements, verdicts, logs,
// and the series of its last run.
ViewAnswer UnitView(results_store::Connection &db, const ViewParams &params, int64_t nowMs);

// An answer without a store behind it.
ViewAnswer ErrorAnswer(int status, const std::string &message);

// The page of a view ("line", "pareto", "measurement", "unit") around its
// answer; the script that draws every page.
std::string DashboardPage(const std::string &view, const ViewAnswer &answer);
const char *DashboardScript();

// JSON text safe inside a <script> element and as a response body.
std::string JsonText(const nlohmann::ordered_json &json);

#endif
