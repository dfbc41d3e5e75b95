#include "host/console/gdb_record_queue.h"

#include "host/console/line_editing.h"
#include "host/session/gdb_session.h"

namespace local_debugger::console {

void GdbRecordQueue::feed(const uint8_t *bytes, size_t count)
{
    bool completed = false, queued = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        partialLine_.append(reinterpret_cast<const char *>(bytes), count);
        size_t start = 0;
        for (size_t newline; (newline = partialLine_.find('\n', start)) != std::string::npos; start = newline + 1) {
            std::string line = partialLine_.substr(start, newline - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const auto record = GdbSession::answers(line) ? GdbSession::read(line) : std::nullopt;
            const auto token = record ? GdbSession::answerTo(*record) : std::nullopt;
            if (token && completionIds_.erase(*token) != 0) {
                auto &matches = completions_[*token];
                if (const MiValue *found = record->find("matches")) {
                    for (const auto &match : found->items)
                        matches.push_back(match.value.string);
                }
                completed = true;
            } else {
                lines_.push_back(std::move(line));
                queued = true;
            }
        }
        partialLine_.erase(0, start);
    }
    if (completed)
        changed_.notify_all();
    if (queued)
        wake_.wake();
}

void GdbRecordQueue::close()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        connectionClosed_ = true;
    }
    changed_.notify_all();
    wake_.wake();
}

std::optional<std::string> GdbRecordQueue::next()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (lines_.empty())
        return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
}

bool GdbRecordQueue::closed()
{
    std::lock_guard<std::mutex> guard(lock_);
    return connectionClosed_ && lines_.empty();
}

void GdbRecordQueue::expectCompletion(uint64_t id)
{
    std::lock_guard<std::mutex> guard(lock_);
    completionIds_.insert(id);
}

std::vector<std::string> GdbRecordQueue::awaitCompletion(uint64_t id)
{
    return CompletionAnswers{lock_, changed_, completions_, connectionClosed_}.await(id);
}

} // namespace local_debugger::console
