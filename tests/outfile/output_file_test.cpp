#include "outfile/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kContent = "new content\n";

void Put(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The file's bytes, or "(none)" when it cannot be read.
std::string Get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "(none)";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Hidden names anywhere under dir: temporary files left behind.
std::vector<std::string> Leftovers(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
        if (entry.path().filename().string()[0] == '.')
            names.push_back(entry.path().string());
    return names;
}

mode_t TypeOf(const std::string &path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

// A folder of its own for each test, and a known umask.
class OutputFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        oldMask_ = ::umask(027);
        std::string pattern = testing::TempDir() + "outfile-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        ::umask(oldMask_);
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    std::string dir_;
    mode_t oldMask_ = 0;
};

// What stands at DIR/out before the writer opens it, made by `make` (0 or
// an errno value).
struct Kind {
    const char *name;
    int (*make)(const std::string &dir);
    int openError;
    bool through;
    const char *holder; // the file holding the content after Commit, if one does
    bool reader;        // a reader waits on the FIFO
};

int Result(int r)
{
    return r == 0 ? 0 : errno;
}

const Kind kKinds[] = {
    {"NewFile", [](const std::string &) { return 0; }, 0, false, "out", false},
    {"RegularFile",
     [](const std::string &dir) {
         Put(dir + "/out", "old");
         return 0;
     },
     0, false, "out", false},
    // A chain whose second link sits in a subfolder and points back up.
    {"LinkChain",
     [](const std::string &dir) {
         Put(dir + "/real", "old");
         bool failed = ::mkdir((dir + "/sub").c_str(), 0755) != 0 ||
                       ::symlink("sub/link", (dir + "/out").c_str()) != 0 ||
                       ::symlink("../real", (dir + "/sub/link").c_str()) != 0;
         return failed ? errno : 0;
     },
     0, false, "real", false},
    {"DanglingLink", [](const std::string &dir) { return Result(::symlink("made", (dir + "/out").c_str())); }, 0, false,
     "made", false},
    {"LinkLoop", [](const std::string &dir) { return Result(::symlink("out", (dir + "/out").c_str())); }, ELOOP, false,
     "", false},
    {"FifoWithReader", [](const std::string &dir) { return Result(::mkfifo((dir + "/out").c_str(), 0600)); }, 0, true,
     "", true},
    {"FifoWithoutReader", [](const std::string &dir) { return Result(::mkfifo((dir + "/out").c_str(), 0600)); }, ENXIO,
     false, "", false},
    {"CharacterDevice",
     [](const std::string &dir) { return Result(::mknod((dir + "/out").c_str(), S_IFCHR | 0666, makedev(1, 3))); }, 0,
     true, "", false},
    {"Directory", [](const std::string &dir) { return Result(::mkdir((dir + "/out").c_str(), 0755)); }, EISDIR, false,
     "", false},
};

class OutputFileKinds : public OutputFileTest, public testing::WithParamInterface<Kind> {};

TEST_P(OutputFileKinds, WritesTheWholeContentAndLeavesNothingBehind)
{
    const Kind &kind = GetParam();
    std::string out = dir_ + "/out";
    int made = kind.make(dir_);
    if (made == EPERM)
        GTEST_SKIP() << "mknod not permitted here";
    ASSERT_EQ(made, 0);
    mode_t typeBefore = TypeOf(out);
    int reader = kind.reader ? ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    ASSERT_EQ(reader >= 0, kind.reader);
    std::string holder = dir_ + "/" + kind.holder;
    std::string before = Get(holder);

    outfile::OutputFile file;
    int opened = file.Open(out);
    if (typeBefore == S_IFCHR && (opened == EPERM || opened == EACCES))
        GTEST_SKIP() << "device nodes cannot be opened in " << dir_;
    ASSERT_EQ(opened, kind.openError);
    EXPECT_EQ(::umask(027), mode_t(027)) << "umask not restored";
    if (opened == 0) {
        EXPECT_EQ(file.WritesThrough(), kind.through);
        EXPECT_EQ(file.TemporaryPath().empty(), kind.through);
        ASSERT_EQ(file.Write(kContent.data(), kContent.size()), 0);
        if (!kind.through) {
            EXPECT_EQ(Get(holder), before) << "replaced before Commit";
        }
        ASSERT_EQ(file.Commit(), 0);
    }

    if (typeBefore != 0) {
        EXPECT_EQ(TypeOf(out), typeBefore) << "what stood at the name was replaced";
    }
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>());
    if (*kind.holder != '\0') {
        EXPECT_EQ(Get(holder), kContent);
        struct stat status {};
        ASSERT_EQ(::stat(holder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, mode_t(0640));
    }
    if (reader >= 0) {
        char got[64] = {};
        EXPECT_EQ(::read(reader, got, sizeof got), ssize_t(kContent.size()));
        EXPECT_EQ(std::string(got), kContent);
        ::close(reader);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, OutputFileKinds, testing::ValuesIn(kKinds),
                         [](const auto &kind) { return std::string(kind.param.name); });

// A writer given up (a failed read, a signal) and a rename refused at the
// end both leave what stood at the name, and no temporary file.
TEST_F(OutputFileTest, FailureLeavesTheTargetAndNoTemporary)
{
    std::string out = dir_ + "/out";
    Put(out, "old");
    {
        outfile::OutputFile file;
        ASSERT_EQ(file.Open(out), 0);
        ASSERT_EQ(file.Write(kContent.data(), kContent.size()), 0);
    }
    EXPECT_EQ(Get(out), "old");
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>());

    outfile::OutputFile file;
    ASSERT_EQ(file.Open(out), 0);
    ASSERT_EQ(file.Write(kContent.data(), kContent.size()), 0);
    // A directory takes the name meanwhile: no one, root included, can
    // rename a file over it.
    ASSERT_EQ(::unlink(out.c_str()), 0);
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    Put(out + "/kept", "old");
    EXPECT_EQ(file.Commit(), EISDIR);
    EXPECT_TRUE(file.TemporaryPath().empty());
    EXPECT_EQ(Get(out + "/kept"), "old");
    EXPECT_EQ(Leftovers(dir_), std::vector<std::string>());
}

} // namespace
