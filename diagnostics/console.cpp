#include "diagnostics/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "diagnostics/line_escape.h"
#include "platform/activation.h"
#include "platform/write_all.h"

namespace {

int savedStderr = STDERR_FILENO;

// Local time's rules are loaded once (tzset); the date and time of the current second are
// formatted once and reused, so a line costs a clock read and a copy.
std::string timestampAt(const timespec &now)
{
    static std::once_flag zoneLoaded;
    std::call_once(zoneLoaded, [] { tzset(); });
    static std::mutex cacheLock;
    static time_t cachedSecond = -1;
    static char cachedText[32];
    static size_t cachedLength = 0;

    char text[48];
    size_t length;
    {
        std::lock_guard<std::mutex> guard(cacheLock);
        if (now.tv_sec != cachedSecond) {
            tm local{};
            localtime_r(&now.tv_sec, &local);
            cachedLength = strftime(cachedText, sizeof cachedText, "%Y-%m-%d %H:%M:%S", &local);
            cachedSecond = now.tv_sec;
        }
        memcpy(text, cachedText, cachedLength);
        length = cachedLength;
    }
    snprintf(text + length, sizeof text - length, ".%03ld", static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

std::string timestampNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return timestampAt(now);
}

thread_local ConsoleHold *currentHold = nullptr;

void writeNow(std::string_view text)
{
    writeAll(savedStderr, text);
}

std::string formattedLine(const timespec &at, std::string_view message)
{
    // The process and thread never change under a thread: asked once, not a system call a line.
    thread_local const std::string source = std::string(" local-debugger[")
                                                .append(std::to_string(getpid()))
                                                .append(":")
                                                .append(std::to_string(static_cast<long>(syscall(SYS_gettid))))
                                                .append("] ");
    std::string line = timestampAt(at);
    line.append(source);
    appendEscaped(line, message);
    line.push_back('\n');
    return line;
}

} // namespace

void initConsole()
{
    int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, firstDescriptorAboveActivation());
    if (copy >= 0)
        savedStderr = copy;
}

int consoleDescriptor()
{
    return savedStderr;
}

void writeToConsole(std::string_view text)
{
    if (currentHold != nullptr)
        currentHold->entries_.push_back({{}, false, std::string(text)});
    else
        writeNow(text);
}

void consoleLine(std::string_view message)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (currentHold != nullptr)
        currentHold->entries_.push_back({now, true, std::string(message)});
    else
        writeNow(formattedLine(now, message));
}

ConsoleHold::ConsoleHold() : outer_(currentHold)
{
    currentHold = this;
}

ConsoleHold::~ConsoleHold()
{
    release();
}

void ConsoleHold::release()
{
    if (currentHold != this)
        return;
    currentHold = outer_;
    for (const Entry &entry : entries_)
        writeToConsole(entry.line ? formattedLine(entry.at, entry.text) : entry.text);
    entries_.clear();
}

ChildLine prepareChildConsoleLine(std::string_view message)
{
    ChildLine line;
    line.head = timestampNow();
    line.head.append(" local-debugger[");
    line.middle.push_back(':');
    line.tail.append("] ");
    appendEscaped(line.tail, message);
    line.tail.push_back('\n');
    line.pidCount = 2;
    line.fd = savedStderr;
    line.prepared = true;
    return line;
}
