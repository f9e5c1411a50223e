// The harness's own rules that the other tests rely on without seeing them.
#include "tests/support/console_harness.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using testing_support::ExpectMatchesTranscript;

namespace {

// Sets (or, with no value, removes) one environment variable for the life of
// the object.
class EnvironmentEntry {
public:
    EnvironmentEntry(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvironmentEntry()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    EnvironmentEntry(const EnvironmentEntry &) = delete;
    EnvironmentEntry &operator=(const EnvironmentEntry &) = delete;

private:
    const char *name_;
    std::optional<std::string> old_;
};

} // namespace

// Only the value 1 rewrites transcripts: with any other setting a transcript
// test must still fail on output it has not recorded, and write nothing.
TEST(Transcripts, AnythingButTheSwitchCompares)
{
    for (const char *value : {static_cast<const char *>(nullptr), "", "0", "yes"}) {
        SCOPED_TRACE(value ? value : "(unset)");
        EnvironmentEntry entry("TUNEPROBE_UPDATE_TRANSCRIPTS", value);
        EXPECT_NONFATAL_FAILURE(ExpectMatchesTranscript("never_recorded.txt", "some output\n"),
                                "never_recorded.txt");
        EXPECT_FALSE(std::filesystem::exists(std::string(TESTS_DATA_DIR) + "/never_recorded.txt"));
    }
}
