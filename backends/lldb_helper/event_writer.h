// Whole-line output on the event descriptor, shared by every thread of the helper.
#pragma once

#include <mutex>
#include <string>

namespace lldb_helper {

class EventWriter {
public:
    // wake_fd, when given, gets one byte the moment the descriptor fails, so a thread waiting
    // for input learns that nobody reads the records any more.
    explicit EventWriter(int fd, int wake_fd = -1) : fd_(fd), wake_fd_(wake_fd) {}

    // Writes one line (a newline is added). Returns false once the descriptor has failed; from
    // then on nothing more is written.
    bool write_line(const std::string& line);

    bool broken() const;

    // Takes the writer for good: no other thread writes after this returns, so the process may
    // end without cutting a line in half.
    void seal();

private:
    int fd_;
    int wake_fd_;
    mutable std::mutex mutex_;
    bool broken_ = false;
    bool sealed_ = false;
};

}  // namespace lldb_helper
