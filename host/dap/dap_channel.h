#pragma once
// Debug Adapter Protocol messages on a pair of descriptors: each a JSON object after a
// Content-Length header. Sending is safe from any thread; each message goes whole.

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace local_debugger::dap {

using Json = nlohmann::json;

// Containers may nest this deep in a message, the message itself being the first level.
constexpr int maxNesting = 32;

struct Incoming {
    Json message;        // an object; what could be read of it when there is a problem
    std::string problem; // why it cannot be served as it stands; empty when it can
};

class DapChannel {
public:
    DapChannel(int in, int out) : in_(in), out_(out) {}

    // The next message; nullopt at end of input or on a frame that cannot be read.
    std::optional<Incoming> receive();

    void respond(const Json &request, const Json &body = Json::object());
    void fail(const Json &request, const std::string &message);
    void event(const std::string &name, const Json &body = Json::object());
    // A request of the adapter's to the editor; sent(seq) runs just before it goes, so that its
    // response cannot arrive before it is awaited.
    void request(const std::string &command, const Json &arguments, const std::function<void(int64_t)> &sent);

private:
    void send(Json message, const std::function<void(int64_t)> &sent = {});
    bool fill();

    int in_;
    int out_;
    std::string buffer_;
    std::mutex sendLock_;
    int64_t seq_ = 1;
};

} // namespace local_debugger::dap
