#pragma once
// Follows the MessagePack headers of a byte stream as it arrives, skipping payloads, so that a
// value declaring more than a message may hold is refused before its bytes are buffered.

#include <cstddef>
#include <cstdint>
#include <vector>

class DeclaredSizeGuard {
public:
    explicit DeclaredSizeGuard(size_t limit) : limit_(limit) {}

    // False once some top-level value declares (with its headers) more than the limit.
    bool feed(const uint8_t *bytes, size_t count);
    bool refused() const { return refused_; }
    // How many bytes of the last feed came before the refusal (up to and with the offending
    // header); all of them while nothing is refused.
    size_t lastAccepted() const { return lastAccepted_; }

private:
    void startValue(size_t headerSize, uint64_t payload, uint64_t children);
    void finishValue();
    bool headerComplete(size_t &headerSize, uint64_t &payload, uint64_t &children) const;

    size_t limit_;
    uint64_t declared_ = 0;      // declared size of the current top-level value
    uint64_t payloadLeft_ = 0;   // payload bytes of the current scalar still to come
    std::vector<uint64_t> open_; // items still expected by each open container
    uint8_t header_[10];
    size_t headerLength_ = 0;
    bool refused_ = false;
    size_t lastAccepted_ = 0;
};
