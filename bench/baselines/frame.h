#pragma once
// The baselines' framing: a 4-byte little-endian payload length before every payload.

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr size_t frameHeaderSize = 4;

inline void putFrameHeader(char *at, uint32_t length)
{
    memcpy(at, &length, sizeof length);
}

// Follows a framed byte stream as it arrives, counting payload bytes and frames.
struct FrameFollower {
    uint64_t payloadBytes = 0;
    uint64_t frames = 0;
    uint32_t payloadLeft = 0;
    unsigned char header[frameHeaderSize];
    size_t headerHave = 0;

    // Calls onPayload(bytes, count) for each stretch of payload.
    template <typename F> void feed(const char *bytes, size_t count, F &&onPayload)
    {
        size_t at = 0;
        while (at < count) {
            if (payloadLeft > 0) {
                size_t take = count - at < payloadLeft ? count - at : payloadLeft;
                onPayload(bytes + at, take);
                payloadBytes += take;
                payloadLeft -= static_cast<uint32_t>(take);
                at += take;
                continue;
            }
            header[headerHave++] = static_cast<unsigned char>(bytes[at++]);
            if (headerHave == frameHeaderSize) {
                memcpy(&payloadLeft, header, sizeof payloadLeft);
                headerHave = 0;
                ++frames;
            }
        }
    }
};
