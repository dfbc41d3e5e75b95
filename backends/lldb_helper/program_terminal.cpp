#include "backends/lldb_helper/program_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lldb_helper {

namespace {

// Written after the debuggee's last bytes: once it is read back, all before it has arrived. No
// output mode of a terminal changes these control characters.
constexpr std::string_view kSettled = "\x1e\x1f\x1c\x1d\x1e\x1f\x1c\x1d";
// A terminal whose output the debuggee has suspended never gives the mark back.
constexpr int kSettlePatienceMs = 1000;

}  // namespace

ProgramTerminal::~ProgramTerminal()
{
    for (int fd : {master_, slave_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

std::string ProgramTerminal::open(int size_from)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0)
        return std::string("error: cannot make the program's terminal: ") + std::strerror(errno) + "\n";
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_ < 0 || ::fcntl(master_, F_SETFL, O_NONBLOCK) != 0)
        return "error: cannot open " + path_ + ": " + std::strerror(errno) + "\n";
    take_size(size_from);
    return {};
}

void ProgramTerminal::take_size(int from)
{
    winsize size{};
    if (::ioctl(from, TIOCGWINSZ, &size) == 0)
        ::ioctl(master_, TIOCSWINSZ, &size);
}

std::string ProgramTerminal::read(bool settled)
{
    std::string bytes;
    char chunk[65536];
    const auto take = [&] {
        for (;;) {
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n > 0)
                bytes.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                return;
        }
    };
    if (!settled || master_ < 0) {
        take();
        return bytes;
    }
    std::string_view mark = kSettled;
    while (!mark.empty()) {
        const ssize_t n = ::write(slave_, mark.data(), mark.size());
        if (n > 0)
            mark.remove_prefix(static_cast<std::size_t>(n));
        else if (errno == EAGAIN)
            take();  // room for the mark
        else if (errno != EINTR)
            break;
    }
    std::size_t found;
    while ((found = bytes.rfind(kSettled)) == std::string::npos && mark.empty()) {
        pollfd readable{master_, POLLIN, 0};
        if (::poll(&readable, 1, kSettlePatienceMs) <= 0 && errno != EINTR)
            break;
        take();
    }
    if (found != std::string::npos)
        bytes.erase(found, kSettled.size());
    return bytes;
}

bool ProgramTerminal::mark_input(std::uint64_t pid) const
{
    const std::string input = "/proc/" + std::to_string(pid) + "/fd/0";
    const int fd = ::open(input.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat theirs {
    }, ours{};
    const bool lldbs =
        ::isatty(fd) != 0 && ::fstat(fd, &theirs) == 0 && ::fstat(slave_, &ours) == 0 && theirs.st_rdev != ours.st_rdev;
    const bool written =
        lldbs && ::write(fd, kInputMark.data(), kInputMark.size()) == static_cast<ssize_t>(kInputMark.size());
    ::close(fd);
    return written;
}

}  // namespace lldb_helper
