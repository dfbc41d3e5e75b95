#pragma once
// Starting the service by hand, for tests of activation and of raw bytes on the connection.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <sys/un.h>
#include <vector>

#include "host/service_client.h"
#include "platform/message.h"

struct RawStart {
    int descriptor3 = -1;            // put on descriptor 3 when >= 0
    bool listenVariables = true;     // LISTEN_FDS=1 and LISTEN_PID=<child pid>
    bool wrongListenPid = false;     // LISTEN_PID names another process
    bool closeStandardDescriptors = false;
    std::vector<std::string> environment = {"TORVEX_DEBUGGER_LOG=stderr"};
    int stderrFd = -1;
    std::string bundleDir = LD_BUNDLE_DIR;
};

pid_t startRawService(const RawStart &start);

// A service started on one end of a socket pair; the test holds the other end as fd.
class RawConnection {
public:
    explicit RawConnection(RawStart start = {});
    // Kills the service unless it has been seen to end.
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    // Writes all of bytes; false when the service stopped taking them.
    bool write(const std::string &bytes);
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void closeConnection();

    pid_t pid = -1;
    int fd = -1;

private:
    bool ended_ = false;
};

// Waits for pid's exit; its exit status when it exited normally within the timeout.
std::optional<int> rawExitStatus(pid_t pid, std::chrono::milliseconds timeout);

sockaddr_un unixAddress(const std::string &path);
// A close-on-exec Unix socket listening at path, as a socket unit hands it over; -1 on failure.
int listeningSocket(const std::string &path);

// Joins the data messages a client connected by path receives.
class DataCollector {
public:
    ServiceClient::Callbacks callbacks();
    bool waitFor(const std::string &text, std::chrono::milliseconds timeout);
    std::string text() const;

private:
    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::string text_;
};

// Reads messages from fd until one arrives (or the timeout or the end of the connection).
std::optional<Message> readMessage(int fd, std::chrono::milliseconds timeout);
