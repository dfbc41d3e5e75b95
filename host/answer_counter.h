#pragma once
// Counts the debugger's answers as its output passes: each command line gets one, which its
// session tells from the start of a line.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace local_debugger {

class AnswerCounter {
public:
    explicit AnswerCounter(bool gdb) : gdb_(gdb) {}

    void feed(const uint8_t *bytes, size_t count);
    // No more output comes: waits end now.
    void connectionEnded();
    bool wrote();
    // True once at least count answers have come; false when the timeout passed or the
    // connection ended first.
    bool waitFor(size_t count, std::chrono::milliseconds timeout);
    // Until the connection has ended or the deadline has passed.
    void waitForEnd(std::chrono::steady_clock::time_point deadline);

private:
    bool isAnswer() const;

    static constexpr size_t lineStart = 32; // enough of a line to know an answer
    const bool gdb_;
    std::string line_; // the start of the line being read
    std::mutex lock_;
    std::condition_variable changed_;
    size_t answers_ = 0;
    bool wrote_ = false;
    bool ended_ = false;
};

} // namespace local_debugger
