#include "host/console/gdb_terminals.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "host/console/gdb_console_text.h"
#include "platform/write_all.h"

namespace local_debugger::console {

bool GdbTerminals::open()
{
    for (DebuggeeTerminal *tty : {&gdb_, &program_}) {
        if (!tty->open(STDOUT_FILENO) || fcntl(tty->master(), F_SETFL, O_NONBLOCK) != 0)
            return false;
    }
    termios lines{};
    tcgetattr(gdb_.slave(), &lines);
    lines.c_lflag |= ICANON;
    lines.c_lflag &= ~ECHO;
    lines.c_iflag |= ICRNL;
    tcsetattr(gdb_.slave(), TCSANOW, &lines);
    return true;
}

void GdbTerminals::sendLine(const std::string &line) const
{
    writeAll(gdb_.master(), line + "\n");
}

void GdbTerminals::toProgram(std::string_view bytes) const
{
    writeAll(program_.master(), bytes);
}

void GdbTerminals::setSize(const winsize &size) const
{
    ioctl(gdb_.master(), TIOCSWINSZ, &size);
    ioctl(program_.master(), TIOCSWINSZ, &size);
}

bool GdbTerminals::readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
}

namespace {
template <size_t N> std::string_view readInto(int fd, char (&bytes)[N])
{
    const ssize_t got = read(fd, bytes, N);
    return got > 0 ? std::string_view(bytes, static_cast<size_t>(got)) : std::string_view();
}
} // namespace

std::string_view GdbTerminals::readGdb()
{
    return readInto(gdb_.master(), gdbBytes_);
}

std::string_view GdbTerminals::readProgram()
{
    return readInto(program_.master(), programBytes_);
}

std::string GdbTerminals::takeTypeAhead() const
{
    std::string typed;
    termios modes{};
    if (tcgetattr(program_.slave(), &modes) != 0)
        return typed;
    termios unread = modes;
    unread.c_lflag &= ~ICANON;
    unread.c_cc[VMIN] = 0;
    unread.c_cc[VTIME] = 0;
    tcsetattr(program_.slave(), TCSANOW, &unread);
    char keys[4096];
    for (ssize_t got; (got = read(program_.slave(), keys, sizeof keys)) > 0 || (got < 0 && errno == EINTR);)
        typed.append(keys, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    tcsetattr(program_.slave(), TCSANOW, &modes);
    return typed;
}

void GdbTerminals::relayInOrder(std::string_view text)
{
    const size_t before = tail_.empty() ? resumeWords(text) : 0;
    writeAll(STDOUT_FILENO, text.substr(0, before));
    while (programReadable()) {
        const std::string_view output = readProgram();
        if (!output.empty())
            writeAll(STDOUT_FILENO, output);
    }
    text.remove_prefix(before);
    const size_t newline = text.rfind('\n');
    if (newline != std::string_view::npos) {
        showTail();
        writeAll(STDOUT_FILENO, text.substr(0, newline + 1));
        tail_.assign(text.substr(newline + 1));
        tailShown_ = 0;
    } else {
        tail_.append(text);
    }
}

void GdbTerminals::showTail()
{
    writeAll(STDOUT_FILENO, std::string_view(tail_).substr(tailShown_));
    tailShown_ = tail_.size();
}

void GdbTerminals::clearTail()
{
    tail_.clear();
    tailShown_ = 0;
}

} // namespace local_debugger::console
