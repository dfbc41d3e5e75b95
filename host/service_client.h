#pragma once
// The host side of a connection to the service: start it (or connect to a socket), send
// messages, make requests with a reply and a timeout, and learn when the service ended.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "platform/connection.h"
#include "platform/message.h"

namespace local_debugger {

// The set_env payload for these NAME=VALUE entries: each ended by a NUL, then one more NUL.
std::vector<uint8_t> encodeEnvironmentPayload(const std::vector<std::string> &entries);

struct ServiceStartOptions {
    std::string executable;                              // the service, by absolute path
    std::optional<std::vector<std::string>> environment; // NAME=VALUE entries; unset: this process's
    int stdinFd = -1;                                    // the service's standard input; -1: ours
    int stdoutFd = -1;                                   // the service's standard output; -1: ours
    int stderrFd = -1;                                   // the service's standard error; -1: ours
    bool ownProcessGroup = true;                         // so a terminal's Ctrl-C reaches the host alone
};

// A started service and the host's end of its connection (close-on-exec), for a host that
// runs its own loop on the socket. The caller closes fd and reaps pid.
struct StartedService {
    pid_t pid = -1;
    int fd = -1;
};

// Starts the service with a connected socket on its descriptor 3, as socket activation would.
std::optional<StartedService> startService(const ServiceStartOptions &options);

class ServiceClient {
public:
    struct Callbacks {
        std::function<void(const Message &)> onMessage; // messages that are not replies
        std::function<void()> onClosed;                 // the connection ended
    };

    // Starts the service with a connected socket on its descriptor 3.
    static std::unique_ptr<ServiceClient> start(const ServiceStartOptions &options, Callbacks callbacks);
    // Connects to a listening socket (a socket unit, or a service started in listening mode).
    static std::unique_ptr<ServiceClient> connectTo(const std::string &socketPath, Callbacks callbacks);

    ~ServiceClient();
    ServiceClient(const ServiceClient &) = delete;
    ServiceClient &operator=(const ServiceClient &) = delete;

    // A plain message, no reply awaited. False once the connection has gone.
    bool send(const MessageDictionary &dictionary);
    bool sendCommand(const std::string &command);
    bool sendData(const std::string &command, const std::vector<uint8_t> &data);

    // A request; the reply's dictionary, or nothing when the timeout passed or the connection ended.
    std::optional<MessageDictionary> request(const MessageDictionary &dictionary, std::chrono::milliseconds timeout);
    std::optional<bool> requestResult(const std::string &command, std::chrono::milliseconds timeout);

    // The started service's pid (-1 for connectTo).
    pid_t pid() const { return pid_; }
    // The pid of the process at the other end of the socket, as this process's namespace sees
    // it; nullopt where it cannot be seen (another pid namespace).
    std::optional<pid_t> peerPid() const;
    // Its wait status once it has exited within the timeout; reaped once, then remembered.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    bool closed() const;
    // Blocks until the connection has ended and every callback has returned. Not from a callback.
    void waitUntilClosed();
    // How the connection ended: Closed (end of file), Failed, or BadInput (undecodable bytes).
    std::optional<Connection::End> connectionEnd() const;
    // Closes our end; the service sees its connection end.
    void disconnect();

private:
    ServiceClient(int fd, pid_t pid, Callbacks callbacks);
    void readLoop();

    std::shared_ptr<Connection> connection_;
    pid_t pid_;
    Callbacks callbacks_;
    std::thread reader_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    uint32_t nextMsgid_ = 1;
    std::map<uint32_t, std::optional<MessageDictionary>> replies_;
    bool closed_ = false;
    std::optional<Connection::End> end_;
    std::optional<int> exitStatus_;
};

} // namespace local_debugger
