#include "outfile/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace outfile {

namespace {

// As many links as the kernel follows in one path (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// A descriptor closed when it goes out of scope.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ScopedFd(const ScopedFd &) = delete;
    ScopedFd &operator=(const ScopedFd &) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

// "dir/" for "dir/name", "" for a bare name.
std::string FolderPrefix(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int ReadLink(const std::string &path, std::string &text)
{
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return errno;
        if (std::size_t(n) < buffer.size()) {
            text.assign(buffer.data(), std::size_t(n));
            return text.empty() ? ENOENT : 0;
        }
        buffer.resize(buffer.size() * 2); // it may have been cut short
    }
}

// A rename is durable only once its folder is synced as well. A folder that
// cannot be opened for reading (write and search permission only) or a file
// system that cannot sync one is no failure: the new file is in place.
int SyncFolder(const std::string &path)
{
    std::string folder = FolderPrefix(path);
    ScopedFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() < 0)
        return 0;
    if (::fsync(fd.Get()) != 0 && errno != EINVAL)
        return errno;
    return 0;
}

} // namespace

int FollowLinks(const std::string &path, std::string &target)
{
    if (path.empty())
        return ENOENT;
    std::string name = path;
    for (int links = 0;; ++links) {
        struct stat status {};
        if (::lstat(name.c_str(), &status) != 0) {
            if (errno != ENOENT)
                return errno;
            break; // to be created: a dangling link's target included
        }
        if (!S_ISLNK(status.st_mode))
            break;
        if (links == kMaxLinks)
            return ELOOP;
        std::string text;
        int error = ReadLink(name, text);
        if (error != 0)
            return error;
        name = text[0] == '/' ? text : FolderPrefix(name) + text;
    }
    target = name;
    return 0;
}

int OutputFile::Open(const std::string &path)
{
    Discard();
    through_ = false;
    target_.clear();
    int error = FollowLinks(path, target_);
    if (error != 0)
        return error;
    struct stat status {};
    if (::stat(target_.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return errno;
    } else if (S_ISDIR(status.st_mode)) {
        return EISDIR;
    } else if (!S_ISREG(status.st_mode)) {
        return OpenThrough(S_ISFIFO(status.st_mode));
    }
    return OpenTemporary();
}

int OutputFile::OpenThrough(bool fifo)
{
    // A FIFO is opened without waiting, so that one nobody reads is refused
    // (ENXIO) rather than hanging the program; writes then block as usual.
    fd_ = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | (fifo ? O_NONBLOCK : 0));
    if (fd_ < 0)
        return errno;
    through_ = true;
    int flags = fifo ? ::fcntl(fd_, F_GETFL) : 0;
    if (fifo && (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        int error = errno;
        Discard();
        return error;
    }
    return 0;
}

int OutputFile::OpenTemporary()
{
    std::string folder = FolderPrefix(target_);
    std::string pattern = folder + "." + target_.substr(folder.size()) + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    fd_ = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd_ < 0)
        return errno;
    temporary_ = buffer.data();
    // mkostemp makes the file private; the result gets the mode any new
    // file of this process would.
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0) {
        int error = errno;
        Discard();
        return error;
    }
    return 0;
}

int OutputFile::Write(const void *data, std::size_t size)
{
    if (fd_ < 0)
        return EBADF;
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno;
        if (written == 0)
            return EIO;
        bytes += written;
        size -= std::size_t(written);
    }
    return 0;
}

int OutputFile::Commit()
{
    if (fd_ < 0)
        return EBADF;
    if (through_) {
        int closed = ::close(fd_);
        fd_ = -1;
        return closed == 0 ? 0 : errno;
    }
    int error = ::fsync(fd_) == 0 ? 0 : errno;
    int closed = ::close(fd_);
    fd_ = -1;
    if (error == 0 && closed != 0)
        error = errno;
    if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
        return error;
    }
    temporary_.clear();
    return SyncFolder(target_);
}

void OutputFile::Discard()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

} // namespace outfile
