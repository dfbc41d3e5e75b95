#include "host/dap/dap_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <unistd.h>

#include "platform/write_all.h"

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

std::optional<Incoming> DapChannel::receive()
{
    for (;;) {
        const size_t end = buffer_.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (buffer_.size() > maxHeader || !fill())
                return std::nullopt;
            continue;
        }
        std::optional<unsigned long long> length;
        for (size_t at = 0; at < end;) {
            size_t lineEnd = buffer_.find("\r\n", at);
            const std::string line = buffer_.substr(at, lineEnd - at);
            if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
                char *stop = nullptr;
                const unsigned long long value = strtoull(line.c_str() + 15, &stop, 10);
                if (stop != line.c_str() + 15)
                    length = value;
            }
            at = lineEnd + 2;
        }
        if (!length)
            return std::nullopt;
        if (*length > maxBody) {
            // Passed over unread, so that the frames after it are still read as frames.
            buffer_.erase(0, end + 4);
            for (unsigned long long left = *length;;) {
                const size_t dropped = static_cast<size_t>(std::min<unsigned long long>(left, buffer_.size()));
                buffer_.erase(0, dropped);
                left -= dropped;
                if (left == 0)
                    return Incoming{Json::object(), "the message is over " + std::to_string(maxBody >> 20) + " MiB"};
                if (!fill())
                    return std::nullopt;
            }
        }
        while (buffer_.size() < end + 4 + *length) {
            if (!fill())
                return std::nullopt;
        }
        // Parsed without recursion; a container past the bound is dropped unbuilt, so that no
        // copy or walk of the message later recurses deeper than the bound.
        bool tooDeep = false;
        const auto bound = [&](int depth, Json::parse_event_t event, Json &) {
            const bool opens = event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
            tooDeep = tooDeep || (opens && depth >= maxNesting);
            return !(opens && depth >= maxNesting);
        };
        const auto body = buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4);
        Incoming incoming{Json::parse(body, body + static_cast<std::ptrdiff_t>(*length), bound, false), ""};
        buffer_.erase(0, end + 4 + *length);
        if (!incoming.message.is_object()) {
            incoming.message = Json::object();
            incoming.problem = "the message is not a JSON object";
        } else if (tooDeep) {
            incoming.problem = "the message nests deeper than " + std::to_string(maxNesting) + " levels";
        }
        return incoming;
    }
}

void DapChannel::send(Json message, const std::function<void(int64_t)> &sent)
{
    std::lock_guard<std::mutex> guard(sendLock_);
    message["seq"] = seq_++;
    if (sent)
        sent(message["seq"].get<int64_t>());
    const std::string body = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    const std::string frame = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    writeAll(out_, frame);
}

namespace {

// The request's own seq and command, as far as they are usable: a response names what it answers.
Json requestSeq(const Json &request)
{
    const auto seq = request.find("seq");
    return seq != request.end() && seq->is_number_integer() ? *seq : Json(0);
}

std::string commandOf(const Json &request)
{
    const auto command = request.find("command");
    return command != request.end() && command->is_string() ? command->get<std::string>() : "";
}

} // namespace

void DapChannel::respond(const Json &request, const Json &body)
{
    send({{"type", "response"},
          {"request_seq", requestSeq(request)},
          {"success", true},
          {"command", commandOf(request)},
          {"body", body}});
}

void DapChannel::fail(const Json &request, const std::string &message)
{
    send({{"type", "response"},
          {"request_seq", requestSeq(request)},
          {"success", false},
          {"command", commandOf(request)},
          {"message", message},
          {"body", {{"error", {{"id", 1}, {"format", message}, {"showUser", true}}}}}});
}

void DapChannel::event(const std::string &name, const Json &body)
{
    send({{"type", "event"}, {"event", name}, {"body", body}});
}

void DapChannel::request(const std::string &command, const Json &arguments, const std::function<void(int64_t)> &sent)
{
    send({{"type", "request"}, {"command", command}, {"arguments", arguments}}, sent);
}

} // namespace local_debugger::dap
