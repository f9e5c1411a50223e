#include "proxy/wire/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace ferry {

int Deadline::PollTimeout() const
{
    if (!bounded_)
        return -1;
    auto left = at_ - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    auto ms = std::chrono::ceil<Millis>(left).count();
    return ms > INT_MAX ? INT_MAX : int(ms);
}

WakeSignal::WakeSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeSignal::Raise()
{
    uint64_t one = 1;
    // The counter only needs to be non-zero; a failed write means it already is.
    [[maybe_unused]] ssize_t r = ::write(fd_.Get(), &one, sizeof one);
}

void WakeSignal::Clear()
{
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = ::read(fd_.Get(), &count, sizeof count);
}

void WaitForWake(int wakeFd)
{
    pollfd p{wakeFd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

bool SetNonblocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

FdReader::FdReader(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd), buffer_(std::make_unique<uint8_t[]>(kBufferSize)) {}

ReadStatus FdReader::Fill(const Deadline &deadline)
{
    begin_ = end_ = 0;
    for (;;) {
        ssize_t r = ::read(fd_, buffer_.get(), kBufferSize);
        if (r > 0) {
            end_ = size_t(r);
            return ReadStatus::Complete;
        }
        if (r == 0)
            return ReadStatus::Closed;
        if (errno == EINTR)
            continue;
        if (errno == EIO)
            return ReadStatus::Closed; // a serial line whose far end went away
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return ReadStatus::Failed;

        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        nfds_t count = wakeFd_ >= 0 ? 2 : 1;
        int p = ::poll(fds, count, deadline.PollTimeout());
        if (p < 0) {
            if (errno == EINTR)
                continue;
            return ReadStatus::Failed;
        }
        if (p == 0)
            return ReadStatus::TimedOut;
        if (count == 2 && fds[1].revents != 0)
            return ReadStatus::Woken;
        // Readable, hung up or in error: the next read tells which.
    }
}

ReadStatus FdReader::Read(uint8_t *dst, size_t n, const Deadline &deadline, size_t &got)
{
    got = 0;
    while (got < n) {
        if (begin_ == end_) {
            ReadStatus st = Fill(deadline);
            if (st != ReadStatus::Complete)
                return st;
        }
        size_t take = std::min(n - got, end_ - begin_);
        if (dst != nullptr)
            std::memcpy(dst + got, buffer_.get() + begin_, take);
        begin_ += take;
        got += take;
    }
    return ReadStatus::Complete;
}

ReadStatus FdReader::ReadSome(uint8_t *dst, size_t n, const Deadline &deadline, size_t &got)
{
    got = 0;
    if (n == 0)
        return ReadStatus::Complete;
    if (begin_ == end_) {
        ReadStatus st = Fill(deadline);
        if (st != ReadStatus::Complete)
            return st;
    }
    got = std::min(n, end_ - begin_);
    std::memcpy(dst, buffer_.get() + begin_, got);
    begin_ += got;
    return ReadStatus::Complete;
}

WriteResult WriteFully(int fd, const uint8_t *data, size_t n, bool isSocket, Millis stall, int wakeFd)
{
    size_t sent = 0;
    Deadline deadline = Deadline::After(stall);
    while (sent < n) {
        ssize_t r = isSocket ? ::send(fd, data + sent, n - sent, MSG_NOSIGNAL) : ::write(fd, data + sent, n - sent);
        if (r > 0) {
            sent += size_t(r);
            deadline = Deadline::After(stall); // progress renews the budget
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return {sent, true, false};

        pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        int pr = ::poll(p, wakeFd >= 0 ? 2 : 1, deadline.PollTimeout());
        if (pr == 0)
            return {sent, false, false};
        if (pr < 0 && errno != EINTR)
            return {sent, true, false};
        if (pr > 0 && p[1].revents != 0)
            return {sent, false, true};
    }
    return {sent, false, false};
}

} // namespace ferry
