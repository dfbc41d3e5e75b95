#pragma once
// GDB's machine-interface lines on their way from the client's reading thread to the console's
// own thread, woken through a pipe; a completion's answer goes straight to the line editor,
// which waits for it on the console's thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/console/wake_pipe.h"

namespace local_debugger::console {

class GdbRecordQueue {
public:
    // From the client's reading thread: bytes as they arrive, then the connection's end.
    void feed(const uint8_t *bytes, size_t count);
    void close();

    // The descriptor that turns readable when a line is queued or the connection ends.
    int wakeFd() const { return wake_.readEnd(); }
    void clearWake() const { wake_.clear(); }
    // The next queued line, its line end taken off; none when all are taken.
    std::optional<std::string> next();
    // The connection ended and every line it brought was taken.
    bool closed();

    // The answer to the completion request with this id, which is not queued but kept for
    // awaitCompletion; registered before the request is sent.
    void expectCompletion(uint64_t id);
    std::vector<std::string> awaitCompletion(uint64_t id);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string partialLine_;
    std::deque<std::string> lines_;
    std::set<uint64_t> completionIds_;
    std::map<uint64_t, std::vector<std::string>> completions_;
    bool connectionClosed_ = false;
    WakePipe wake_;
};

} // namespace local_debugger::console
