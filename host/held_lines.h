#pragma once
// The lines a started service writes to its standard error, kept (the last hundred) rather than
// shown, until they explain a failure.

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/unique_fd.h"

namespace local_debugger {

class HeldLines {
public:
    // Nothing when no pipe could be made: the service then writes to our standard error.
    static std::unique_ptr<HeldLines> open();

    // The service's standard error, until closeWriteEnd.
    int writeEnd() const { return pipe_.write.get(); }
    // Once the service has started: the pipe holds its first lines meanwhile, and the service
    // starts sooner for not waiting on this thread's creation.
    void startReading();
    // Once the service holds its copy.
    void closeWriteEnd() { pipe_.write.reset(); }
    // Writes the kept lines to standard error, and forgets them.
    void show();

private:
    struct Kept {
        std::mutex lock;
        std::deque<std::string> lines;
    };

    explicit HeldLines(Pipe pipe) : pipe_(std::move(pipe)) {}

    Pipe pipe_;
    std::shared_ptr<Kept> kept_ = std::make_shared<Kept>();
};

} // namespace local_debugger
