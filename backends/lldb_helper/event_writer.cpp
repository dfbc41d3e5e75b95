#include "backends/lldb_helper/event_writer.h"

#include <cerrno>
#include <unistd.h>

namespace lldb_helper {

bool EventWriter::write_line(const std::string& line)
{
    std::string buffer = line;
    buffer.push_back('\n');
    std::lock_guard lock(mutex_);
    if (broken_ || sealed_)
        return false;
    const char* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            broken_ = true;
            if (wake_fd_ >= 0) {
                const char byte = 1;
                while (::write(wake_fd_, &byte, 1) < 0 && errno == EINTR) {
                }
            }
            return false;
        }
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool EventWriter::broken() const
{
    std::lock_guard lock(mutex_);
    return broken_;
}

void EventWriter::seal()
{
    std::lock_guard lock(mutex_);
    sealed_ = true;
}

}  // namespace lldb_helper
