#include "tuneprobe/limits.h"

// The packaged toml++ library is built with exceptions, so it is used
// header-only here, in its no-exceptions mode; no formatters are needed.
#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;

const struct {
    const char *key;
    const char *type;
} kComparisons[] = {
    {"greater_or_equal", "GREATER_THAN_OR_EQUAL"},
    {"less_or_equal", "LESS_THAN_OR_EQUAL"},
    {"greater_than", "GREATER_THAN"},
    {"less_than", "LESS_THAN"},
};

const struct {
    const char *type;
    const char *symbol;
} kSymbols[] = {
    {"EQUAL", "=="},
    {"LESS_THAN", "<"},
    {"LESS_THAN_OR_EQUAL", "<="},
    {"GREATER_THAN", ">"},
    {"GREATER_THAN_OR_EQUAL", ">="},
};

// The file's name and where a refusal goes.
struct Reader {
    const std::string &path;
    std::string &message;

    bool Refuse(const toml::source_position &at, const std::string &reason) const
    {
        message = path + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " + reason;
        return false;
    }
    bool Refuse(const toml::node &at, const std::string &reason) const { return Refuse(at.source().begin, reason); }
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

bool ReadWhole(const std::string &path, std::string &text, std::string &message)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (file) {
        char buffer[4096];
        std::size_t count;
        while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
            text.append(buffer, count);
        if (!std::ferror(file.get()))
            return true;
    }
    message = path + ": " + std::strerror(errno);
    return false;
}

// A key for a message, quoted and escaped so that the message stays one line.
std::string Quoted(std::string_view text)
{
    return Json(std::string(text)).dump();
}

// A table's keys in the order the file has them (toml++ sorts them by name),
// so that validators come out as written and the first fault is reported.
std::vector<std::pair<const toml::key *, const toml::node *>> InFileOrder(const toml::table &table)
{
    std::vector<std::pair<const toml::key *, const toml::node *>> entries;
    for (auto &&[key, node] : table)
        entries.emplace_back(&key, &node);
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.first->source().begin < b.first->source().begin; });
    return entries;
}

long double NumberOf(const Json &number)
{
    if (number.is_number_unsigned())
        return number.get<std::uint64_t>();
    if (number.is_number_integer())
        return number.get<std::int64_t>();
    return number.get<double>();
}

enum class Scalar { Number, NotFinite, Text, Boolean, Other };

// A TOML value as JSON. Whole numbers become JSON integers, so that the
// report says 70 where the file says 70.0.
Scalar ToJson(const toml::node &node, Json &out)
{
    if (const auto *integer = node.as_integer()) {
        out = integer->get();
        return Scalar::Number;
    }
    if (const auto *floating = node.as_floating_point()) {
        double number = floating->get();
        if (!std::isfinite(number))
            return Scalar::NotFinite;
        if (number == std::trunc(number) && number >= -0x1p63 && number < 0x1p63)
            out = static_cast<std::int64_t>(number);
        else
            out = number;
        return Scalar::Number;
    }
    if (const auto *text = node.as_string()) {
        out = text->get();
        return Scalar::Text;
    }
    if (const auto *boolean = node.as_boolean()) {
        out = boolean->get();
        return Scalar::Boolean;
    }
    return Scalar::Other;
}

bool ReadNumber(const Reader &reader, const std::string &what, const toml::node &node, Json &out)
{
    Scalar kind = ToJson(node, out);
    if (kind == Scalar::NotFinite)
        return reader.Refuse(node, what + " must be finite");
    if (kind != Scalar::Number)
        return reader.Refuse(node, what + " must be a number");
    return true;
}

Json Validator(const char *type, const Json &value)
{
    Json validator = Json::object();
    validator["type"] = type;
    validator["value"] = value;
    return validator;
}

bool ReadRange(const Reader &reader, const toml::node &node, Json &validators)
{
    const toml::array *ends = node.as_array();
    if (!ends || ends->size() != 2)
        return reader.Refuse(node, "range must be two numbers, [low, high]");
    Json low;
    Json high;
    if (!ReadNumber(reader, "each end of range", *ends->get(0), low) ||
        !ReadNumber(reader, "each end of range", *ends->get(1), high))
        return false;
    if (NumberOf(low) > NumberOf(high))
        return reader.Refuse(node, "range's low end is above its high end");
    validators.push_back(Validator("GREATER_THAN_OR_EQUAL", low));
    validators.push_back(Validator("LESS_THAN_OR_EQUAL", high));
    return true;
}

// The report's schema allows no array as a validator's value: the set goes
// there as JSON text, and as itself into the metadata, which judging reads.
bool ReadSet(const Reader &reader, const toml::node &node, Json &validators)
{
    const toml::array *elements = node.as_array();
    if (!elements || elements->empty())
        return reader.Refuse(node, "in_set must be a list of numbers or of texts, at least one");
    Json set = Json::array();
    for (const toml::node &element : *elements) {
        Json item;
        Scalar kind = ToJson(element, item);
        if (kind == Scalar::NotFinite)
            return reader.Refuse(element, "in_set's numbers must be finite");
        if (kind != Scalar::Number && kind != Scalar::Text)
            return reader.Refuse(element, "in_set must hold numbers or texts");
        if (!set.empty() && set.front().is_string() != item.is_string())
            return reader.Refuse(element, "in_set mixes numbers and texts");
        set.push_back(std::move(item));
    }
    Json validator = Validator("IN_SET", set.dump());
    Json metadata = Json::object();
    metadata["set"] = std::move(set);
    validator["metadata"] = std::move(metadata);
    validators.push_back(std::move(validator));
    return true;
}

bool ReadName(const Reader &reader, std::string_view key, const toml::node &node, std::string &out)
{
    const auto *text = node.as_string();
    if (!text)
        return reader.Refuse(node, std::string(key) + " must be a text");
    if (text->get().empty())
        return reader.Refuse(node, std::string(key) + " must not be empty");
    out = text->get();
    return true;
}

// One key of a [[limit]] into the limit.
bool ReadKey(const Reader &reader, const toml::key &key, const toml::node &node, Limit &limit)
{
    std::string_view name = key.str();
    if (name == "measurement")
        return ReadName(reader, name, node, limit.measurement);
    if (name == "step")
        return ReadName(reader, name, node, limit.step);
    if (name == "range")
        return ReadRange(reader, node, limit.validators);
    if (name == "in_set")
        return ReadSet(reader, node, limit.validators);
    if (name == "equal") {
        Json value;
        Scalar kind = ToJson(node, value);
        if (kind == Scalar::NotFinite)
            return reader.Refuse(node, "equal must be finite");
        if (kind == Scalar::Other)
            return reader.Refuse(node, "equal must be a number, text or boolean");
        limit.validators.push_back(Validator("EQUAL", value));
        return true;
    }
    for (const auto &comparison : kComparisons) {
        if (name != comparison.key)
            continue;
        Json value;
        if (!ReadNumber(reader, comparison.key, node, value))
            return false;
        limit.validators.push_back(Validator(comparison.type, value));
        return true;
    }
    return reader.Refuse(key.source().begin, "unknown key " + Quoted(name) + " in [[limit]]");
}

bool ReadLimit(const Reader &reader, const toml::table &table, Limit &limit)
{
    limit.line = static_cast<int>(table.source().begin.line);
    limit.validators = Json::array();
    for (const auto &[key, node] : InFileOrder(table))
        if (!ReadKey(reader, *key, *node, limit))
            return false;
    if (limit.measurement.empty())
        return reader.Refuse(table, "[[limit]] has no measurement");
    if (limit.validators.empty())
        return reader.Refuse(table, "[[limit]] for " + Quoted(limit.measurement) +
                                        " has none of equal, range, greater_or_equal, less_or_equal, greater_than, "
                                        "less_than, in_set");
    return true;
}

bool ReadFile(const Reader &reader, const toml::table &root, std::vector<Limit> &limits)
{
    for (const auto &[key, node] : InFileOrder(root)) {
        if (key->str() != "limit")
            return reader.Refuse(key->source().begin,
                                 "unknown key " + Quoted(key->str()) + ": the file holds [[limit]] tables only");
        const toml::array *entries = node->as_array();
        if (!entries)
            return reader.Refuse(*node, "limit must be [[limit]] tables");
        for (const toml::node &entry : *entries) {
            const toml::table *table = entry.as_table();
            if (!table)
                return reader.Refuse(entry, "limit must be [[limit]] tables");
            Limit limit;
            if (!ReadLimit(reader, *table, limit))
                return false;
            limits.push_back(std::move(limit));
        }
    }
    return true;
}

bool SameKind(const Json &a, const Json &b)
{
    return (a.is_number() && b.is_number()) || (a.is_string() && b.is_string()) || (a.is_boolean() && b.is_boolean());
}

bool Equal(const Json &limit, const Json &value)
{
    if (!SameKind(limit, value))
        return false;
    if (value.is_number())
        return NumberOf(value) == NumberOf(limit); // long double holds every int64 and double exactly
    return value == limit;
}

// An IN_SET validator's set, or null.
const Json *SetOf(const Json &validator)
{
    auto metadata = validator.find("metadata");
    if (metadata == validator.end() || !metadata->is_object())
        return nullptr;
    auto set = metadata->find("set");
    if (set == metadata->end() || !set->is_array())
        return nullptr;
    return &*set;
}

bool Holds(const Json &validator, const Json &value)
{
    if (!validator.is_object())
        return false;
    auto type = validator.find("type");
    if (type == validator.end() || !type->is_string())
        return false;
    const std::string &name = type->get_ref<const std::string &>();
    if (name == "IN_SET") {
        const Json *set = SetOf(validator);
        return set && std::any_of(set->begin(), set->end(), [&](const Json &element) { return Equal(element, value); });
    }
    auto limit = validator.find("value");
    if (limit == validator.end())
        return false;
    if (name == "EQUAL")
        return Equal(*limit, value);
    if (!limit->is_number() || !value.is_number())
        return false;
    long double measured = NumberOf(value);
    long double bound = NumberOf(*limit);
    if (name == "LESS_THAN")
        return measured < bound;
    if (name == "LESS_THAN_OR_EQUAL")
        return measured <= bound;
    if (name == "GREATER_THAN")
        return measured > bound;
    if (name == "GREATER_THAN_OR_EQUAL")
        return measured >= bound;
    return false; // a type this program does not judge
}

std::string Text(const Json &value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string Describe(const Json &validator)
{
    if (!validator.is_object())
        return Text(validator);
    Json type = validator.value("type", Json());
    Json value = validator.value("value", Json());
    const Json *set = SetOf(validator);
    if (type == "IN_SET" && set) {
        std::string text = "in {";
        for (auto element = set->begin(); element != set->end(); ++element)
            text += (element == set->begin() ? "" : ", ") + Text(*element);
        return text + "}";
    }
    for (const auto &symbol : kSymbols)
        if (type == symbol.type)
            return std::string(symbol.symbol) + " " + Text(value);
    return Text(type) + " " + Text(value);
}

} // namespace

bool Limits::Load(const std::string &path, std::string &message)
{
    limits_.clear();
    std::string text;
    if (!ReadWhole(path, text, message))
        return false;
    Reader reader{path, message};
    toml::parse_result parsed = toml::parse(std::string_view(text), std::string_view(path));
    if (!parsed)
        return reader.Refuse(parsed.error().source().begin, std::string(parsed.error().description()));
    std::vector<Limit> limits;
    if (!ReadFile(reader, parsed.table(), limits))
        return false;
    if (limits.empty()) {
        message = path + ": no [[limit]] entries";
        return false;
    }
    limits_ = std::move(limits);
    return true;
}

std::vector<const Limit *> Limits::Find(const std::string &measurement, const std::string &step) const
{
    std::vector<const Limit *> found;
    for (const Limit &limit : limits_)
        if (limit.measurement == measurement && (limit.step.empty() || limit.step == step))
            found.push_back(&limit);
    return found;
}

bool Satisfies(const nlohmann::ordered_json &validators, const nlohmann::ordered_json &value)
{
    if (!validators.is_array())
        return false;
    return std::all_of(validators.begin(), validators.end(),
                       [&](const Json &validator) { return Holds(validator, value); });
}

std::string DescribeValidators(const nlohmann::ordered_json &validators)
{
    std::string text;
    if (!validators.is_array())
        return text;
    for (const Json &validator : validators)
        text += (text.empty() ? "" : " and ") + Describe(validator);
    return text;
}
