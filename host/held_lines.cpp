#include "host/held_lines.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace local_debugger {

std::unique_ptr<HeldLines> HeldLines::open()
{
    Pipe pipe = Pipe::make();
    if (!pipe.read)
        return nullptr;
    return std::unique_ptr<HeldLines>(new HeldLines(std::move(pipe)));
}

void HeldLines::startReading()
{
    if (!pipe_.read)
        return;
    // The reader shares only what it keeps, and ends with the service's last writer: it may
    // outlive this object.
    std::thread([kept = kept_, readEnd = pipe_.read.release()] {
        FILE *in = fdopen(readEnd, "r");
        if (in == nullptr) {
            close(readEnd);
            return;
        }
        char *line = nullptr;
        size_t size = 0;
        while (getline(&line, &size, in) > 0) {
            std::lock_guard<std::mutex> guard(kept->lock);
            kept->lines.emplace_back(line);
            if (kept->lines.size() > 100)
                kept->lines.pop_front();
        }
        free(line);
        fclose(in);
    }).detach();
}

void HeldLines::show()
{
    std::lock_guard<std::mutex> guard(kept_->lock);
    for (const auto &line : kept_->lines)
        fputs(line.c_str(), stderr);
    kept_->lines.clear();
}

} // namespace local_debugger
