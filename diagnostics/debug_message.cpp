#include "diagnostics/debug_message.h"
#include "diagnostics/line_escape.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <vector>
#include <unistd.h>

#include "diagnostics/console.h"
#include "diagnostics/hex_dump.h"

std::atomic<bool> loggingEnabled{false};

namespace {

constexpr const char *entryPrefix = "[TORVEX_DEBUGGER(XPC)] ";
constexpr const char *logIdentity = "com.torvex.debugger";

// One handle per "log" command; a writer that took the old one keeps it alive until done.
struct LogHandle {
    bool toStderr = false;
};

bool entriesOnStderr = false;
std::mutex handleLock;
std::shared_ptr<const LogHandle> log_handle;
std::function<void(const std::string &)> testSink;

std::shared_ptr<const LogHandle> currentHandle()
{
    std::lock_guard<std::mutex> guard(handleLock);
    return log_handle;
}

bool enabledForDefaultType(const LogHandle &handle)
{
    return handle.toStderr || (setlogmask(0) & LOG_MASK(LOG_NOTICE)) != 0;
}

void writeEntry(const LogHandle &handle, const std::string &entry)
{
    if (testSink) {
        testSink(entry);
        return;
    }
    if (handle.toStderr) {
        writeToConsole(entry + "\n");
        return;
    }
    syslog(LOG_USER | LOG_NOTICE, "%s", entry.c_str());
}

// Children cannot call syslog(3) safely, so they send the datagram themselves.
int childLogSocket()
{
    static std::once_flag opened;
    static int sock = -1;
    std::call_once(opened, [] {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            return;
        }
        sock = fd;
    });
    return sock;
}

} // namespace

void initDiagnosticLog()
{
    const char *outlet = getenv("TORVEX_DEBUGGER_LOG");
    entriesOnStderr = outlet != nullptr && strcmp(outlet, "stderr") == 0;
}

void startMessageLogger()
{
    auto handle = std::make_shared<LogHandle>();
    handle->toStderr = entriesOnStderr;
    // A relay's chunk logs as a line twice its size: a pipe of the default 64 KiB would take it
    // in dozens of turns with its reader. Larger where the reader's pipe allows; else as it is.
    struct stat outlet {};
    if (handle->toStderr && fstat(consoleDescriptor(), &outlet) == 0 && S_ISFIFO(outlet.st_mode))
        fcntl(consoleDescriptor(), F_SETPIPE_SZ, 1 << 20);
    if (!handle->toStderr)
        openlog(logIdentity, LOG_PID | LOG_NDELAY, LOG_USER);
    {
        std::lock_guard<std::mutex> guard(handleLock);
        log_handle = std::move(handle);
    }
    loggingEnabled.store(true);
    debugMessage("message logger started");
}

void debugMessage(std::optional<std::string_view> message)
{
    if (!loggingEnabled.load())
        return;
    if (!message)
        return;
    auto handle = currentHandle();
    if (!handle || !enabledForDefaultType(*handle))
        return;
    std::string entry = entryPrefix;
    appendEscaped(entry, *message);
    writeEntry(*handle, entry);
}

void debugHexMessage(std::string_view label, const uint8_t *bytes, size_t count)
{
    if (!loggingEnabled.load())
        return;
    auto handle = currentHandle();
    if (!handle || !enabledForDefaultType(*handle))
        return;
    // Kept between chunks: a relay of large reads would otherwise fault in fresh pages each time.
    thread_local std::vector<char> line;
    const size_t prefixLength = strlen(entryPrefix);
    const size_t length = prefixLength + label.size() + 2 * count;
    if (line.size() < length + 1)
        line.resize(length + 1);
    memcpy(line.data(), entryPrefix, prefixLength);
    memcpy(line.data() + prefixLength, label.data(), label.size());
    hexDumpInto(line.data() + prefixLength + label.size(), bytes, count);
    if (testSink) {
        testSink(std::string(line.data(), length));
    } else if (handle->toStderr) {
        line[length] = '\n';
        writeToConsole(std::string_view(line.data(), length + 1));
    } else {
        line[length] = '\0';
        syslog(LOG_USER | LOG_NOTICE, "%s", line.data());
    }
}

void captureDiagnosticsForTesting(std::function<void(const std::string &)> sink)
{
    testSink = std::move(sink);
}

ChildLine prepareChildDiagnostic(std::string_view message)
{
    ChildLine line;
    if (!loggingEnabled.load())
        return line;
    auto handle = currentHandle();
    if (!handle || !enabledForDefaultType(*handle))
        return line;
    std::string entry(entryPrefix);
    appendEscaped(entry, message);
    if (handle->toStderr) {
        // No pid in this form: the whole line goes in head.
        line.head = entry;
        line.head.push_back('\n');
        line.fd = consoleDescriptor();
        line.prepared = true;
        return line;
    }
    // A syslog datagram in the form syslog(3) sends, the child's pid filled in after the fork.
    int sock = childLogSocket();
    if (sock < 0)
        return line;
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%h %e %T ", &local);
    line.head.push_back('<');
    line.head.append(std::to_string(LOG_USER | LOG_NOTICE)).append(">").append(stamp).append(logIdentity).append("[");
    line.tail.append("]: ").append(entry);
    line.pidCount = 1;
    line.fd = sock;
    line.prepared = true;
    return line;
}
