// The harness's own rules that the other tests rely on without seeing them:
// when transcripts are rewritten, and how answer files are read.
#include "tests/support/console_harness.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

using testing_support::ExpectMatchesTranscript;
using testing_support::ReadAnswerFile;
using testing_support::StripAnswerComments;

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
        EXPECT_NONFATAL_FAILURE(ExpectMatchesTranscript("never_recorded.txt", "some output\n"), "never_recorded.txt");
        EXPECT_FALSE(std::filesystem::exists(std::string(TESTS_DATA_DIR) + "/never_recorded.txt"));
    }
}

// All that an answer file may hold: a comment after one word or several,
// blanks and a tab before it or none, a line of only a comment and an empty
// line (both empty input lines), and a last line without its line end.
TEST(AnswerFiles, CommentsAndEndBlanksGoEveryLineStays)
{
    EXPECT_EQ(StripAnswerComments("0               # interface: Local\n"
                                  "2500000 5000 \t # SetBandConfig: frequency (kHz), bandwidth\n"
                                  "                # pause\n"
                                  "\n"
                                  "-1  \n"
                                  "1e# no blank before the comment\n"
                                  "-1"),
              "0\n2500000 5000\n\n\n-1\n1e\n-1\n");
    EXPECT_EQ(StripAnswerComments(""), "");
}

// Each pause of the automated test reads a whole line, and the end-to-end
// session still passes with an empty line added or the load mode a pause
// later: the file must keep the session as recorded, six pauses, the load
// mode, two pauses.
TEST(AnswerFiles, AutomatedTestSessionKeepsItsPauseLines)
{
    EXPECT_EQ(ReadAnswerFile("automated_test.txt"), "0\n9\n2\n\n\n\n\n\n\n1\n\n\n-1\n-1\n");
}
