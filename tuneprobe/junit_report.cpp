#include "tuneprobe/junit_report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

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

bool WriteAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
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

JunitReport::~JunitReport()
{
    Discard();
}

bool JunitReport::Create(const std::string &path, std::string &message)
{
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        message = "cannot write the JUnit file " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string pattern = directory + (slash == std::string::npos ? "/" : "") + ".junit-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) {
        message = "cannot write the JUnit file " + path + ": " + std::strerror(errno);
        return false;
    }
    temporary_ = name.data();
    path_ = path;
    // mkstemp makes the file private; the result gets the usual mode.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd_, 0666 & ~mask);
    return true;
}

void JunitReport::Discard()
{
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_.c_str());
}

JunitReport::Suite &JunitReport::Current()
{
    if (suites_.empty())
        suites_.push_back(Suite{"tuneprobe", {}, {}});
    return suites_.back();
}

void JunitReport::BeginSuite(const std::string &name)
{
    suites_.push_back(Suite{name, {}, {}});
}

void JunitReport::AddCase(const std::string &name, bool pass, const std::string &line)
{
    Current().cases.push_back(Case{name, pass, line, false});
}

void JunitReport::AddLibraryError(const std::string &text)
{
    Current().systemErr += "ERROR: " + text + "\n";
}

void JunitReport::StopSuite(const std::string &text)
{
    Current().cases.push_back(Case{"step stopped on a library error", false, text, true});
}

void JunitReport::AddRunError(const std::string &text)
{
    suites_.push_back(Suite{"tuneprobe", {Case{"run", false, text, true}}, {}});
}

bool JunitReport::Finish(std::string &message)
{
    if (fd_ < 0)
        return true;
    std::size_t tests = 0;
    std::size_t failures = 0;
    std::size_t errors = 0;
    std::string body;
    for (const Suite &suite : suites_) {
        std::size_t suiteFailures = 0;
        std::size_t suiteErrors = 0;
        std::string cases;
        for (const Case &c : suite.cases) {
            cases += "    <testcase classname=\"" + XmlEscape(suite.name) + "\" name=\"" + XmlEscape(c.name) + "\"";
            if (c.pass) {
                cases += "/>\n";
                continue;
            }
            const char *element = c.error ? "error" : "failure";
            (c.error ? suiteErrors : suiteFailures) += 1;
            cases += ">\n      <" + std::string(element) + " message=\"" + XmlEscape(c.line) + "\" type=\"" +
                     (c.error ? "library error" : "FAIL") + "\">" + XmlEscape(c.line) + "</" + element +
                     ">\n    </testcase>\n";
        }
        body += "  <testsuite name=\"" + XmlEscape(suite.name) + "\" tests=\"" + std::to_string(suite.cases.size()) +
                "\" failures=\"" + std::to_string(suiteFailures) + "\" errors=\"" + std::to_string(suiteErrors) +
                "\">\n" + cases;
        if (!suite.systemErr.empty())
            body += "    <system-err>" + XmlEscape(suite.systemErr) + "</system-err>\n";
        body += "  </testsuite>\n";
        tests += suite.cases.size();
        failures += suiteFailures;
        errors += suiteErrors;
    }
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"tuneprobe\" tests=\"" +
                           std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\" errors=\"" +
                           std::to_string(errors) + "\">\n" + body + "</testsuites>\n";
    bool written = WriteAll(fd_, document) && ::fsync(fd_) == 0;
    int closed = ::close(fd_);
    fd_ = -1;
    if (!written || closed != 0 || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
        message = "cannot write the JUnit file " + path_ + ": " + std::strerror(errno);
        ::unlink(temporary_.c_str());
        return false;
    }
    return true;
}
