// The limits a production line sets on an unattended run's measurements,
// read from a TOML file (--limits FILE), and the judging of one value.
//
//   # Limits for the automated test. Each [[limit]] names one measurement as
//   # the report names it, and what its value must satisfy.
//   [[limit]]
//   measurement = "Temperature"
//   range = [0, 70]            # inclusive: >= 0 and <= 70
//
//   [[limit]]
//   measurement = "Device Data checksum valid"
//   equal = 1
//
//   [[limit]]
//   measurement = "MAC firmware version"
//   in_set = ["2.4.1", "2.4.2"]
//
//   [[limit]]
//   measurement = "Rx1 RSSI"
//   step = "Rx"                # optional: only the measurement made in this step
//   greater_or_equal = -90
//   less_or_equal = -20
//
// Keys of a [[limit]]: measurement (text, required, not empty), step (text,
// optional, not empty), and at least one of equal (number, text or boolean),
// range (two numbers, low <= high), greater_or_equal, less_or_equal,
// greater_than, less_than (numbers), in_set (numbers or texts, not mixed, at
// least one). Numbers are finite. Nothing else may be in the file.
//
// Each entry becomes OCP validators, in the order its keys are written:
// range is GREATER_THAN_OR_EQUAL and LESS_THAN_OR_EQUAL; an IN_SET's value
// is the set as JSON text (the report's schema allows no array there) and
// the set itself is its metadata.set. Whole numbers are JSON integers.
#ifndef TUNEPROBE_LIMITS_H
#define TUNEPROBE_LIMITS_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

struct Limit {
    std::string measurement;           // the measurement's name, as the report has it
    std::string step;                  // empty: any step
    nlohmann::ordered_json validators; // OCP validators, an array
    int line = 0;                      // where the entry starts in the file
};

class Limits {
public:
    // Reads FILE; false with a one-line message "FILE:LINE:COLUMN: reason"
    // ("FILE: reason" when there is no place to point at; no program name,
    // no line end), and no limits.
    bool Load(const std::string &path, std::string &message);
    // Every limit for this measurement made in this step (entries without a
    // step match any step), in file order.
    std::vector<const Limit *> Find(const std::string &measurement, const std::string &step) const;
    const std::vector<Limit> &All() const { return limits_; }
    bool Empty() const { return limits_.empty(); }

private:
    std::vector<Limit> limits_;
};

// True when value (a JSON number, string or boolean) satisfies every
// validator in the array. Types must match: a number limit on a text value,
// or a text limit on a number, is not satisfied; only numbers are ordered.
// Comparisons of numbers are exact (no tolerance).
bool Satisfies(const nlohmann::ordered_json &validators, const nlohmann::ordered_json &value);

// The validators as a short text for a diagnosis message, e.g.
// ">= 0 and <= 70", "== 1", "in {2.4.1, 2.4.2}".
std::string DescribeValidators(const nlohmann::ordered_json &validators);

#endif
