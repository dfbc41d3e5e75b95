#include "host/dap/dap_channel.h"

#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <unistd.h>

namespace local_debugger::dap {

namespace {

// A header bigger than this, or a body bigger than the limit, is not a client's.
constexpr size_t maxHeader = 8192;
constexpr size_t maxBody = 64 * 1024 * 1024;

} // namespace

bool DapChannel::fill()
{
    char chunk[65536];
    for (;;) {
        ssize_t got = read(in_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }
}

std::optional<Json> DapChannel::receive()
{
    for (;;) {
        const size_t end = buffer_.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (buffer_.size() > maxHeader || !fill())
                return std::nullopt;
            continue;
        }
        std::optional<size_t> length;
        for (size_t at = 0; at < end;) {
            size_t lineEnd = buffer_.find("\r\n", at);
            const std::string line = buffer_.substr(at, lineEnd - at);
            if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
                char *stop = nullptr;
                const unsigned long long value = strtoull(line.c_str() + 15, &stop, 10);
                if (stop != line.c_str() + 15 && value <= maxBody)
                    length = value;
            }
            at = lineEnd + 2;
        }
        if (!length)
            return std::nullopt;
        while (buffer_.size() < end + 4 + *length) {
            if (!fill())
                return std::nullopt;
        }
        Json message = Json::parse(buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4),
                                   buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4 + *length), nullptr, false);
        buffer_.erase(0, end + 4 + *length);
        // A body that is not an object is answered as a request nobody can name.
        if (!message.is_object())
            message = Json{{"type", "request"}, {"seq", 0}, {"command", ""}, {"malformed", true}};
        return message;
    }
}

void DapChannel::send(Json message)
{
    std::lock_guard<std::mutex> guard(sendLock_);
    message["seq"] = seq_++;
    const std::string body = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    const std::string frame = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t done = 0; done < frame.size();) {
        ssize_t written = write(out_, frame.data() + done, frame.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<size_t>(written);
    }
}

void DapChannel::respond(const Json &request, const Json &body)
{
    send({{"type", "response"}, {"request_seq", request.value("seq", 0)}, {"success", true},
          {"command", request.value("command", "")}, {"body", body}});
}

void DapChannel::fail(const Json &request, const std::string &message)
{
    send({{"type", "response"}, {"request_seq", request.value("seq", 0)}, {"success", false},
          {"command", request.value("command", "")}, {"message", message},
          {"body", {{"error", {{"id", 1}, {"format", message}, {"showUser", true}}}}}});
}

void DapChannel::event(const std::string &name, const Json &body)
{
    send({{"type", "event"}, {"event", name}, {"body", body}});
}

} // namespace local_debugger::dap
