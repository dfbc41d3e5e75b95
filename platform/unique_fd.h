#pragma once
// A descriptor with one owner, closed when the owner goes.

#include <fcntl.h>
#include <unistd.h>
#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe made close-on-exec from birth; both ends invalid when it could not be made.
struct Pipe {
    UniqueFd read;
    UniqueFd write;
    static Pipe make()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return {};
        return {UniqueFd(fds[0]), UniqueFd(fds[1])};
    }
};
