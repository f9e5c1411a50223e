#include "tuneprobe/run_files.h"

#include "outfile/output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Identity {
    bool exists = false;
    bool shareable = false; // a character device
    dev_t device = 0;
    ino_t inode = 0;
    std::string resolved;
};

Identity Identify(const std::string &path)
{
    Identity id;
    std::string target = path;
    if (outfile::FollowLinks(path, target) != 0)
        target = path;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0) {
        id.exists = true;
        id.shareable = S_ISCHR(info.st_mode);
        id.device = info.st_dev;
        id.inode = info.st_ino;
        return id;
    }
    // Not there yet: its folder's real path and its name.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(target, error).lexically_normal();
    std::filesystem::path folder = std::filesystem::canonical(absolute.parent_path(), error);
    id.resolved = error ? absolute.string() : (folder / absolute.filename()).string();
    return id;
}

bool Same(const Identity &a, const Identity &b)
{
    if (a.exists != b.exists)
        return false;
    if (a.exists)
        return !a.shareable && a.device == b.device && a.inode == b.inode;
    return a.resolved == b.resolved;
}

} // namespace

bool DistinctFiles(const std::vector<NamedFile> &files, std::string &message)
{
    std::vector<Identity> seen(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].path.empty())
            continue;
        seen[i] = Identify(files[i].path);
        for (std::size_t k = 0; k < i; ++k) {
            if (!files[k].path.empty() && Same(seen[k], seen[i])) {
                message =
                    std::string(files[k].option) + " and " + files[i].option + " name the same file " + files[i].path;
                return false;
            }
        }
    }
    return true;
}

bool RunFile::Open(const std::string &path, const char *what, std::string &message, bool &busy)
{
    busy = false;
    // A FIFO nobody reads is refused instead of waited for (O_NONBLOCK).
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd >= 0)
        created_ = path;
    else if (errno == EEXIST)
        fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    int error = fd < 0 ? errno : 0;
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        busy = error == EWOULDBLOCK;
    }
    if (error == 0) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        file_ = ::fdopen(fd, "w");
        error = file_ == nullptr ? errno : 0;
    }
    if (error != 0) {
        if (fd >= 0 && file_ == nullptr)
            ::close(fd);
        Abandon();
        message = busy ? std::string("the ") + what + " " + path + " is being written by another run"
                       : std::string("cannot write the ") + what + " " + path + ": " + std::strerror(error);
        return false;
    }
    return true;
}

std::FILE *RunFile::Keep()
{
    struct stat info {};
    if (::fstat(::fileno(file_), &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(::fileno(file_), 0) != 0)
        std::clearerr(file_); // a failed write later says more than this
    std::FILE *kept = file_;
    file_ = nullptr;
    created_.clear();
    return kept;
}

void RunFile::Abandon()
{
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
    if (!created_.empty())
        ::unlink(created_.c_str());
    created_.clear();
}
