#pragma once
// The numbers an editor holds for what it was shown (frames, scopes, variables), valid until the
// debuggee runs again. resumed() may come from any thread; the rest from the one thread that
// serves requests, which drops the old entries before its next use of the table.

#include <atomic>
#include <cstdint>
#include <map>

namespace local_debugger::dap {

template <typename Value> class HandleTable {
public:
    void resumed() { ++generation_; }
    // The debuggee has run since the table was last cleared: its entries name nothing now.
    bool stale() const { return seen_ != generation_; }
    void clear()
    {
        entries_.clear();
        seen_ = generation_;
    }

    // Numbers go on from run to run, so that an old one never names a new entry.
    int64_t add(Value value)
    {
        entries_[next_] = std::move(value);
        return next_++;
    }
    const Value *find(int64_t number) const
    {
        auto found = entries_.find(number);
        return found == entries_.end() ? nullptr : &found->second;
    }

private:
    std::atomic<uint64_t> generation_ = 0;
    uint64_t seen_ = 0;
    std::map<int64_t, Value> entries_;
    int64_t next_ = 1;
};

} // namespace local_debugger::dap
