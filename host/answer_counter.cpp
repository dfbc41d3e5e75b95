#include "host/answer_counter.h"

#include <algorithm>
#include <cstring>

#include "host/session/gdb_session.h"
#include "host/session/lldb_session.h"

namespace local_debugger {

void AnswerCounter::feed(const uint8_t *bytes, size_t count)
{
    // Only the start of each line tells an answer: the rest is skipped a line at a time.
    size_t answers = 0;
    const auto *at = reinterpret_cast<const char *>(bytes);
    const char *end = at + count;
    while (at < end) {
        const auto *newline = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
        const char *stop = newline != nullptr ? newline : end;
        line_.append(at,
                     std::min<size_t>(static_cast<size_t>(stop - at), lineStart - std::min(lineStart, line_.size())));
        if (newline == nullptr)
            break;
        answers += isAnswer() ? 1 : 0;
        line_.clear();
        at = newline + 1;
    }
    std::lock_guard<std::mutex> guard(lock_);
    wrote_ = wrote_ || count > 0;
    answers_ += answers;
    changed_.notify_all();
}

void AnswerCounter::connectionEnded()
{
    std::lock_guard<std::mutex> guard(lock_);
    ended_ = true;
    changed_.notify_all();
}

bool AnswerCounter::wrote()
{
    std::lock_guard<std::mutex> guard(lock_);
    return wrote_;
}

bool AnswerCounter::waitFor(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return answers_ >= count || ended_; });
    return answers_ >= count && !ended_;
}

void AnswerCounter::waitForEnd(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [&] { return ended_; });
}

bool AnswerCounter::isAnswer() const
{
    return gdb_ ? GdbSession::answers(line_) : LldbSession::answers(line_);
}

} // namespace local_debugger
