#include "platform/queued_connection.h"

#include <exception>
#include <thread>

#include "platform/message_codec.h"

namespace local_debugger {

QueuedConnection::QueuedConnection(int fd) : connection_(fd) {}

std::string QueuedConnection::start() noexcept
{
    try {
        std::thread([this] { writeWaiting(); }).detach();
        return {};
    } catch (const std::exception &error) {
        return error.what();
    }
}

bool QueuedConnection::sendReply(const Message &reply)
{
    std::string encoded = encodeMessage(reply);
    std::unique_lock<std::mutex> guard(lock_);
    turnFree_.wait(guard, [this] { return failed_ || queuedBytes_ < unreadRepliesLimit; });
    if (failed_)
        return false;
    bool partial = false;
    if (!writing_ && queue_.empty()) {
        writing_ = true;
        guard.unlock();
        const ssize_t written = connection_.trySend(encoded);
        guard.lock();
        writing_ = false;
        turnFree_.notify_all();
        if (written < 0)
            failed_ = true;
        if (written < 0 || static_cast<size_t>(written) == encoded.size())
            return written >= 0;
        encoded.erase(0, static_cast<size_t>(written));
        partial = true;
    }
    queuedBytes_ += encoded.size();
    // The rest of a message begun goes out before anything else.
    queue_.insert(partial ? queue_.begin() : queue_.end(), std::move(encoded));
    if (!writing_)
        waiting_.notify_one();
    return true;
}

bool QueuedConnection::takeTurn(std::unique_lock<std::mutex> &guard, std::vector<std::string> &waiting)
{
    turnFree_.wait(guard, [this] { return !writing_ || failed_ || held_; });
    if (failed_ || held_)
        return false;
    writing_ = true;
    waiting.swap(queue_);
    return true;
}

void QueuedConnection::endTurn(const std::vector<std::string> &waiting, bool ok)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        writing_ = false;
        for (const std::string &text : waiting)
            queuedBytes_ -= text.size();
        if (!ok) {
            // The peer is gone: nothing that waits will ever be read.
            failed_ = true;
            queue_.clear();
            queuedBytes_ = 0;
        }
        if (!queue_.empty())
            waiting_.notify_one();
    }
    turnFree_.notify_all();
}

template <typename Write> bool QueuedConnection::inTurn(Write write)
{
    std::vector<std::string> waiting;
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (!takeTurn(guard, waiting))
            return false;
    }
    bool ok = true;
    for (const std::string &text : waiting)
        ok = ok && connection_.sendEncoded(text);
    ok = ok && write();
    endTurn(waiting, ok);
    return ok;
}

bool QueuedConnection::sendData(const uint8_t *bytes, size_t count)
{
    return inTurn([&] { return connection_.sendData(bytes, count); });
}

bool QueuedConnection::sendDataFromPipe(int pipeFd, size_t count)
{
    return inTurn([&] { return connection_.sendDataFromPipe(pipeFd, count); });
}

void QueuedConnection::writeWaiting()
{
    for (;;) {
        std::vector<std::string> waiting;
        {
            std::unique_lock<std::mutex> guard(lock_);
            waiting_.wait(guard, [this] { return !writing_ && !queue_.empty() && !failed_; });
            writing_ = true;
            waiting.swap(queue_);
        }
        bool ok = true;
        for (const std::string &text : waiting)
            ok = ok && connection_.sendEncoded(text);
        endTurn(waiting, ok);
    }
}

bool QueuedConnection::holdForExit(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    held_ = true;
    const bool done = turnFree_.wait_for(guard, timeout, [this] { return failed_ || (!writing_ && queue_.empty()); });
    // Whatever is whole now stays so: no turn is taken after this one.
    writing_ = true;
    return done;
}

} // namespace local_debugger
