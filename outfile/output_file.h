// One whole new content for a file named on a command line. A regular file
// (or a name not there yet) is written beside itself under a hidden
// temporary name and renamed over the old one only when complete, so a run
// that fails or is stopped leaves the old file as it was. Anything else
// there, a device or a FIFO, is written directly and never replaced.
// Symbolic links are followed: the file they end at is written, the links
// stay.
//
// Every function gives 0 or an errno value.
#ifndef OUTFILE_OUTPUT_FILE_H
#define OUTFILE_OUTPUT_FILE_H

#include <cstddef>
#include <string>

namespace outfile {

// The name that path ends at after symbolic links: a chain of up to 40
// (ELOOP beyond), relative link targets taken from the link's folder. A
// name that does not exist ends the chain, so a dangling link gives the
// name it points at.
int FollowLinks(const std::string &path, std::string &target);

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Discard(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Starts a new content for path. A directory gives EISDIR, a FIFO
    // nobody reads ENXIO (rather than waiting for a reader).
    int Open(const std::string &path);
    // All of it, or the reason it was not.
    int Write(const void *data, std::size_t size);
    // Makes the content final: a replaced file is synced, renamed over the
    // target and its folder synced; a file written through is closed. On
    // a failure before the rename the temporary file goes and the old file
    // stays.
    int Commit();
    // Drops what was written (the temporary file goes) and closes.
    void Discard();

    bool WritesThrough() const { return through_; }
    // The temporary file while one exists (empty when writing through or
    // once committed), for a signal handler that must remove it.
    const std::string &TemporaryPath() const { return temporary_; }
    int Fd() const { return fd_; }
    // The name written, after symbolic links.
    const std::string &Target() const { return target_; }

private:
    int OpenThrough(bool fifo);
    int OpenTemporary();

    int fd_ = -1;
    bool through_ = false;
    std::string target_;
    std::string temporary_;
};

} // namespace outfile

#endif
