// The limits file: what good files become, what bad ones are refused with,
// and the judging of values against the validators.
#include "tuneprobe/limits.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using Json = nlohmann::ordered_json;

namespace {

class LimitsFile : public testing::Test {
protected:
    void SetUp() override
    {
        char dirTemplate[] = "/tmp/limits-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string &text)
    {
        std::string path = dir_ + "/limits.toml";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::string dir_;
};

// The limits as JSON, dumped so that 70 and 70.0 differ.
std::string Dump(const Limits &limits)
{
    Json all = Json::array();
    for (const Limit &limit : limits.All())
        all.push_back({{"measurement", limit.measurement},
                       {"step", limit.step},
                       {"line", limit.line},
                       {"validators", limit.validators}});
    return all.dump();
}

} // namespace

TEST_F(LimitsFile, GoodFilesBecomeValidatorsInTheOrderWritten)
{
    const struct {
        const char *file;
        const char *limits;
    } cases[] = {
        {"# Limits for the automated test.\n"
         "[[limit]]\nmeasurement = \"Temperature\"\nrange = [0, 70]  # inclusive\n\n"
         "[[limit]]\nmeasurement = \"MAC firmware version\"\nin_set = [\"2.4.1\", \"2.4.2\"]\n\n"
         "[[limit]]\nmeasurement = \"Rx1 RSSI\"\nstep = \"Rx\"\nless_or_equal = -20\ngreater_or_equal = -90\n",
         R"([{"measurement":"Temperature","step":"","line":2,"validators":[)"
         R"({"type":"GREATER_THAN_OR_EQUAL","value":0},{"type":"LESS_THAN_OR_EQUAL","value":70}]},)"
         R"({"measurement":"MAC firmware version","step":"","line":6,"validators":[)"
         R"({"type":"IN_SET","value":"[\"2.4.1\",\"2.4.2\"]","metadata":{"set":["2.4.1","2.4.2"]}}]},)"
         R"({"measurement":"Rx1 RSSI","step":"Rx","line":10,"validators":[)"
         R"({"type":"LESS_THAN_OR_EQUAL","value":-20},{"type":"GREATER_THAN_OR_EQUAL","value":-90}]}])"},
        // Whole numbers are integers however they are written; fractions stay.
        {"[[limit]]\nmeasurement = \"a\"\nrange = [-3.0, 70.5]\ngreater_than = 1e3\nless_than = 0x10\n"
         "in_set = [1, 2.5, 3.0]\n",
         R"([{"measurement":"a","step":"","line":1,"validators":[)"
         R"({"type":"GREATER_THAN_OR_EQUAL","value":-3},{"type":"LESS_THAN_OR_EQUAL","value":70.5},)"
         R"({"type":"GREATER_THAN","value":1000},{"type":"LESS_THAN","value":16},)"
         R"({"type":"IN_SET","value":"[1,2.5,3]","metadata":{"set":[1,2.5,3]}}]}])"},
        {"limit = [{measurement = \"ok\", equal = true}, {equal = \"PASS\", measurement = \"verdict\"}]\n",
         R"([{"measurement":"ok","step":"","line":1,"validators":[{"type":"EQUAL","value":true}]},)"
         R"({"measurement":"verdict","step":"","line":1,"validators":[{"type":"EQUAL","value":"PASS"}]}])"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        Limits limits;
        std::string message;
        ASSERT_TRUE(limits.Load(Write(c.file), message)) << message;
        EXPECT_EQ(Dump(limits), c.limits);
    }
}

TEST_F(LimitsFile, FindMatchesTheNameAndTheStepIfGiven)
{
    Limits limits;
    std::string message;
    ASSERT_TRUE(limits.Load(Write("[[limit]]\nmeasurement = \"RSSI\"\nstep = \"Rx\"\nequal = 1\n"
                                  "[[limit]]\nmeasurement = \"RSSI\"\nequal = 2\n"
                                  "[[limit]]\nmeasurement = \"Other\"\nequal = 3\n"),
                            message));
    ASSERT_EQ(limits.Find("RSSI", "Rx").size(), 2u);
    EXPECT_EQ(limits.Find("RSSI", "Rx")[0]->line, 1);
    EXPECT_EQ(limits.Find("RSSI", "Rx")[1]->line, 5);
    ASSERT_EQ(limits.Find("RSSI", "Tx").size(), 1u);
    EXPECT_EQ(limits.Find("RSSI", "Tx")[0]->line, 5);
    EXPECT_TRUE(limits.Find("rssi", "Rx").empty());
}

TEST_F(LimitsFile, BadFilesAreRefusedWithWhereAndWhy)
{
    const std::string head = "[[limit]]\nmeasurement = \"T\"\n";
    const struct {
        std::string file;
        const char *message; // after the file's name
    } cases[] = {
        {head + "equal = 1 2\n",
         ":3:11: Error while parsing key-value pair: expected a comment or whitespace, saw '2'"},
        {"", ": no [[limit]] entries"},
        {"# nothing yet\nlimit = []\n", ": no [[limit]] entries"},
        {"title = \"x\"\n" + head + "equal = 1\n", ":1:1: unknown key \"title\": the file holds [[limit]] tables only"},
        {"[limit]\nmeasurement = \"T\"\nequal = 1\n", ":1:1: limit must be [[limit]] tables"},
        {head + "equal = 1\n  tolerance = 0.5\n", ":4:3: unknown key \"tolerance\" in [[limit]]"},
        {head + "equal = 1\n[limit.extra]\n", ":4:8: unknown key \"extra\" in [[limit]]"},
        {"[[limit]]\nequal = 1\n", ":1:1: [[limit]] has no measurement"},
        {"[[limit]]\nmeasurement = \"\"\nequal = 1\n", ":2:15: measurement must not be empty"},
        {"[[limit]]\nmeasurement = 5\nequal = 1\n", ":2:15: measurement must be a text"},
        {head + "step = \"\"\nequal = 1\n", ":3:8: step must not be empty"},
        {"\n" + head + "step = \"Rx\"\n",
         ":2:1: [[limit]] for \"T\" has none of equal, range, greater_or_equal, less_or_equal, greater_than, "
         "less_than, in_set"},
        {head + "equal = [1]\n", ":3:9: equal must be a number, text or boolean"},
        {head + "equal = nan\n", ":3:9: equal must be finite"},
        {head + "range = [1, 2, 3]\n", ":3:9: range must be two numbers, [low, high]"},
        {head + "range = [0, \"70\"]\n", ":3:13: each end of range must be a number"},
        {head + "range = [-inf, 0]\n", ":3:10: each end of range must be finite"},
        {head + "range = [70, 0]\n", ":3:9: range's low end is above its high end"},
        {head + "greater_than = true\n", ":3:16: greater_than must be a number"},
        {head + "less_or_equal = +inf\n", ":3:17: less_or_equal must be finite"},
        {head + "in_set = []\n", ":3:10: in_set must be a list of numbers or of texts, at least one"},
        {head + "in_set = [1, \"2\"]\n", ":3:14: in_set mixes numbers and texts"},
        {head + "in_set = [true]\n", ":3:11: in_set must hold numbers or texts"},
        {head + "in_set = [1, nan]\n", ":3:14: in_set's numbers must be finite"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        Limits limits;
        std::string message;
        ASSERT_TRUE(limits.Load(Write(head + "equal = 1\n"), message)) << message;
        std::string path = Write(c.file);
        EXPECT_FALSE(limits.Load(path, message));
        EXPECT_EQ(message, path + c.message);
        EXPECT_TRUE(limits.Empty());
    }
}

TEST_F(LimitsFile, AnUnreadableFileIsRefusedWithTheSystemsReason)
{
    Limits limits;
    std::string message;
    EXPECT_FALSE(limits.Load(dir_ + "/missing.toml", message));
    EXPECT_EQ(message, dir_ + "/missing.toml: No such file or directory");
    EXPECT_FALSE(limits.Load(dir_, message));
    EXPECT_EQ(message, dir_ + ": Is a directory");
}

TEST(Satisfies, JudgesEachValidatorTypeOnItsOwnKindOfValue)
{
    const struct {
        const char *validators;
        const char *satisfying; // values, as a JSON array
        const char *failing;
    } cases[] = {
        {R"([{"type":"GREATER_THAN_OR_EQUAL","value":0},{"type":"LESS_THAN_OR_EQUAL","value":70}])", R"([0, 70, 35.5])",
         R"([-1, 70.000001, "35", true])"},
        {R"([{"type":"GREATER_THAN","value":-90.5},{"type":"LESS_THAN","value":-20}])", R"([-90.4, -20.5])",
         R"([-90.5, -20])"},
        {R"([{"type":"EQUAL","value":1}])", R"([1, 1.0])", R"([0, "1", true])"},
        {R"([{"type":"EQUAL","value":9007199254740993}])", R"([9007199254740993])", R"([9007199254740992])"},
        {R"([{"type":"EQUAL","value":"PASS"}])", R"(["PASS"])", R"(["pass", 1])"},
        {R"([{"type":"EQUAL","value":true}])", R"([true])", R"([false, 1])"},
        {R"([{"type":"IN_SET","value":"[\"2.4.1\",\"2.4.2\"]","metadata":{"set":["2.4.1","2.4.2"]}}])", R"(["2.4.2"])",
         R"(["2.4.3", 2.4])"},
        {R"([{"type":"IN_SET","value":"[1,2.5]","metadata":{"set":[1,2.5]}}])", R"([2.5, 1.0])", R"(["1", 3])"},
    };
    for (const auto &c : cases) {
        Json validators = Json::parse(c.validators);
        for (const Json &value : Json::parse(c.satisfying))
            EXPECT_TRUE(Satisfies(validators, value)) << c.validators << " on " << value;
        for (const Json &value : Json::parse(c.failing))
            EXPECT_FALSE(Satisfies(validators, value)) << c.validators << " on " << value;
    }
}

TEST(DescribeValidators, GivesEachTypeItsSymbol)
{
    const struct {
        const char *validators;
        const char *text;
    } cases[] = {
        {R"([{"type":"GREATER_THAN_OR_EQUAL","value":0},{"type":"LESS_THAN_OR_EQUAL","value":70}])", ">= 0 and <= 70"},
        {R"([{"type":"GREATER_THAN","value":-90.5},{"type":"LESS_THAN","value":-20}])", "> -90.5 and < -20"},
        {R"([{"type":"EQUAL","value":1}])", "== 1"},
        {R"([{"type":"EQUAL","value":"PASS"}])", "== PASS"},
        {R"([{"type":"IN_SET","value":"[\"2.4.1\",\"2.4.2\"]","metadata":{"set":["2.4.1","2.4.2"]}}])",
         "in {2.4.1, 2.4.2}"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DescribeValidators(Json::parse(c.validators)), c.text);
}
