// The verdicts of an unattended run as JUnit XML: a testsuite per step, a
// testcase per verdict (a failure element holding the console's line when it
// failed), an error element when a library error stopped the step, and the
// library's error texts in the suite's system-err. Written at the end of the
// run into a temporary file beside the target, then renamed over it, so the
// file is either whole or absent.
#ifndef TUNEPROBE_JUNIT_REPORT_H
#define TUNEPROBE_JUNIT_REPORT_H

#include <string>
#include <vector>

class JunitReport {
public:
    JunitReport() = default;
    JunitReport(const JunitReport &) = delete;
    JunitReport &operator=(const JunitReport &) = delete;
    ~JunitReport();

    // Creates the temporary file now, so that an unwritable place is found
    // before anything is opened; false with a message.
    bool Create(const std::string &path, std::string &message);
    bool IsOpen() const { return fd_ >= 0; }

    void BeginSuite(const std::string &name);
    void AddCase(const std::string &name, bool pass, const std::string &line);
    void AddLibraryError(const std::string &text);
    // The step stopped on the library error text.
    void StopSuite(const std::string &text);
    // The run ended early or never started: an error of its own.
    void AddRunError(const std::string &text);
    const std::string &TemporaryPath() const { return temporary_; }

    // Writes the document and renames it into place; false with a message.
    bool Finish(std::string &message);
    // Removes the temporary file.
    void Discard();

private:
    struct Case {
        std::string name;
        bool pass;
        std::string line;
        bool error;
    };
    struct Suite {
        std::string name;
        std::vector<Case> cases;
        std::string systemErr;
    };
    Suite &Current();

    std::vector<Suite> suites_;
    std::string path_;
    std::string temporary_;
    int fd_ = -1;
};

// Text made safe for XML content and attribute values: markup characters
// escaped, characters XML 1.0 cannot hold and bytes that are not UTF-8
// replaced by U+FFFD.
std::string XmlEscape(const std::string &text);

#endif
