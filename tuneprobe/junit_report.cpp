#include "tuneprobe/junit_report.h"

#include "console/console_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";
const char kNotEnded[] = "The run has not ended";

bool AllowedInXml(uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The length of the well-formed UTF-8 sequence at text[i] and its code
// point; 0 when the bytes there are not one.
std::size_t DecodeUtf8(const std::string &text, std::size_t i, uint32_t &code)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char first = byte(i);
    std::size_t length = first < 0x80           ? 1
                         : (first >> 5) == 0x6  ? 2
                         : (first >> 4) == 0xE  ? 3
                         : (first >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    code = length == 1 ? first : first & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF))
        return 0; // overlong, or a surrogate
    return length;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds < 0.0 ? 0.0 : seconds);
    return text;
}

std::string Attribute(const char *name, const std::string &value)
{
    return std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
}

} // namespace

std::string XmlEscape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        uint32_t code = 0;
        std::size_t length = DecodeUtf8(text, i, code);
        if (length == 0 || !AllowedInXml(code)) {
            out += kReplacement;
            i += length == 0 ? 1 : length;
            continue;
        }
        switch (code) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

double MonotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string JunitTimestamp()
{
    std::time_t now = std::time(nullptr);
    tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return text;
}

JunitReport::~JunitReport()
{
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

bool JunitReport::Prepare(const std::string &path, std::string &message, bool &busy)
{
    busy = false;
    path_ = path;
    std::string target;
    int error = outfile::FollowLinks(path, target);
    struct stat info {};
    if (error == 0 && ::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        // Written through at the end; a FIFO must have its reader now.
        error = through_.Open(path);
    } else if (error == 0) {
        lockFd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (lockFd_ >= 0)
            created_ = target;
        else if (errno == EEXIST)
            lockFd_ = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (lockFd_ < 0) {
            error = errno;
        } else if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            busy = errno == EWOULDBLOCK;
            error = errno;
        }
    }
    if (error != 0) {
        message = busy ? "the JUnit file " + path + " is being written by another run"
                       : "cannot write the JUnit file " + path + ": " + std::strerror(error);
        Abandon();
        return false;
    }
    prepared_ = true;
    runStarted_ = lastEvent_ = MonotonicSeconds();
    timestamp_ = JunitTimestamp();
    return true;
}

void JunitReport::Abandon()
{
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
    if (!created_.empty())
        ::unlink(created_.c_str());
    created_.clear();
    through_.Discard();
    prepared_ = false;
}

void JunitReport::MarkInProgress()
{
    created_.clear(); // kept from now on
    if (lockFd_ < 0)
        return;
    std::string document = Document(true);
    // Written in place: the file is locked, and another run's results are
    // not to be kept. A failure here shows at the end, when the file is
    // written again.
    if (::ftruncate(lockFd_, 0) == 0)
        (void)!::pwrite(lockFd_, document.data(), document.size(), 0);
}

void JunitReport::SetRun(const Properties &properties, const std::string &hostname, const std::string &timestamp)
{
    properties_ = properties;
    hostname_ = hostname;
    timestamp_ = timestamp;
}

double JunitReport::SinceLastEvent()
{
    double now = MonotonicSeconds();
    double seconds = now - lastEvent_;
    lastEvent_ = now;
    return seconds;
}

JunitReport::Suite &JunitReport::Current()
{
    if (suites_.empty())
        BeginSuite("tuneprobe");
    return suites_.back();
}

void JunitReport::BeginSuite(const std::string &name)
{
    Suite suite;
    suite.name = name;
    suite.timestamp = JunitTimestamp();
    suite.started = MonotonicSeconds();
    lastEvent_ = suite.started;
    suites_.push_back(std::move(suite));
}

void JunitReport::AddCase(const std::string &name, bool pass, const std::string &line)
{
    double seconds = SinceLastEvent();
    Current().cases.push_back(Case{name, pass, line, "", seconds});
}

void JunitReport::AddLibraryError(const std::string &text)
{
    Current().systemErr += "ERROR: " + text + "\n";
}

void JunitReport::AddErrorCase(const std::string &name, const std::string &type, const std::string &text)
{
    double seconds = SinceLastEvent();
    Current().cases.push_back(Case{name, false, text, type, seconds});
}

void JunitReport::EndSuite()
{
    if (!suites_.empty())
        suites_.back().seconds = MonotonicSeconds() - suites_.back().started;
}

void JunitReport::AddRunError(const std::string &name, const std::string &type, const std::string &text)
{
    BeginSuite("tuneprobe");
    AddErrorCase(name, type, text);
    EndSuite();
}

std::string JunitReport::Document(bool inProgress) const
{
    std::vector<Suite> suites = suites_;
    if (inProgress) {
        Suite run;
        run.name = "tuneprobe";
        run.timestamp = timestamp_;
        run.cases.push_back(Case{"run", false, kNotEnded, "in-progress", 0.0});
        suites = {run};
    }
    std::string properties;
    if (!properties_.empty()) {
        properties = "    <properties>\n";
        for (const auto &[name, value] : properties_)
            properties += "      <property" + Attribute("name", name) + Attribute("value", value) + "/>\n";
        properties += "    </properties>\n";
    }
    std::size_t tests = 0;
    std::size_t failures = 0;
    std::size_t errors = 0;
    std::string body;
    for (std::size_t id = 0; id < suites.size(); ++id) {
        const Suite &suite = suites[id];
        std::size_t suiteFailures = 0;
        std::size_t suiteErrors = 0;
        std::string cases;
        for (const Case &c : suite.cases) {
            cases += "    <testcase" + Attribute("classname", suite.name) + Attribute("name", c.name) +
                     Attribute("time", Seconds(c.seconds));
            if (c.pass) {
                cases += "/>\n";
                continue;
            }
            bool error = !c.errorType.empty();
            const char *element = error ? "error" : "failure";
            (error ? suiteErrors : suiteFailures) += 1;
            cases += ">\n      <" + std::string(element) + Attribute("message", c.line) +
                     Attribute("type", error ? c.errorType : "FAIL") + ">" + XmlEscape(c.line) + "</" + element +
                     ">\n    </testcase>\n";
        }
        body += "  <testsuite" + Attribute("name", suite.name) +
                Attribute("tests", std::to_string(suite.cases.size())) +
                Attribute("failures", std::to_string(suiteFailures)) +
                Attribute("errors", std::to_string(suiteErrors)) + Attribute("skipped", "0") +
                Attribute("time", Seconds(suite.seconds)) + Attribute("timestamp", suite.timestamp) +
                Attribute("hostname", hostname_.empty() ? "localhost" : hostname_) +
                Attribute("id", std::to_string(id)) + ">\n" + properties + cases;
        if (!suite.systemErr.empty())
            body += "    <system-err>" + XmlEscape(suite.systemErr) + "</system-err>\n";
        body += "  </testsuite>\n";
        tests += suite.cases.size();
        failures += suiteFailures;
        errors += suiteErrors;
    }
    double seconds = inProgress ? 0.0 : MonotonicSeconds() - runStarted_;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + Attribute("name", "tuneprobe") +
           Attribute("tests", std::to_string(tests)) + Attribute("failures", std::to_string(failures)) +
           Attribute("errors", std::to_string(errors)) + Attribute("time", Seconds(seconds)) +
           Attribute("timestamp", timestamp_) + ">\n" + body + "</testsuites>\n";
}

bool JunitReport::Finish(std::string &message)
{
    if (!prepared_)
        return true;
    prepared_ = false;
    std::string document = Document(false);
    int error = 0;
    if (lockFd_ >= 0) {
        // Replaced whole, so that a reader never sees half a document; the
        // lock stays on the old file until it is gone.
        outfile::OutputFile file;
        error = file.Open(path_);
        con::RemoveOnAbort(file.TemporaryPath());
        if (error == 0)
            error = file.Write(document.data(), document.size());
        if (error == 0)
            error = file.Commit();
        con::RemoveOnAbort("");
        ::close(lockFd_);
        lockFd_ = -1;
    } else {
        error = through_.Write(document.data(), document.size());
        int closed = through_.Commit();
        error = error != 0 ? error : closed;
    }
    if (error != 0) {
        message = "cannot write the JUnit file " + path_ + ": " + std::strerror(error);
        return false;
    }
    return true;
}
