// The report and log files of a run: files are told apart by what they are,
// not by how they are spelled, and a regular file is locked against another
// run writing it at the same time.
#ifndef TUNEPROBE_RUN_FILES_H
#define TUNEPROBE_RUN_FILES_H

#include <cstdio>
#include <string>
#include <vector>

struct NamedFile {
    std::string path;
    const char *option;
};

// False with a message when two options name one file: the same device and
// inode for files that exist (through links), the same resolved path for
// files that do not exist yet. A character device (/dev/null) may be named
// more than once.
bool DistinctFiles(const std::vector<NamedFile> &files, std::string &message);

// A file opened for writing but not emptied yet. Abandon closes it and
// removes it again when Open created it.
class RunFile {
public:
    RunFile() = default;
    RunFile(const RunFile &) = delete;
    RunFile &operator=(const RunFile &) = delete;
    ~RunFile() { Abandon(); }

    // what names the file in messages ("report", "log"). busy is set when
    // another run holds the file.
    bool Open(const std::string &path, const char *what, std::string &message, bool &busy);
    // Empties a regular file and hands the file over (the lock goes with it).
    std::FILE *Keep();
    void Abandon();

private:
    std::FILE *file_ = nullptr;
    std::string created_;
};

#endif
