#include "platform/declared_size_guard.h"

namespace {

uint64_t bigEndian(const uint8_t *bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

// Whether header_ holds a whole header; if so its size, its payload and its child count.
bool DeclaredSizeGuard::headerComplete(size_t &headerSize, uint64_t &payload, uint64_t &children) const
{
    const uint8_t type = header_[0];
    payload = 0;
    children = 0;
    auto need = [&](size_t size) {
        headerSize = size;
        return headerLength_ >= size;
    };
    if (type <= 0x7F || type >= 0xE0 || (type >= 0xC0 && type <= 0xC3))
        return need(1);
    if (type >= 0x80 && type <= 0x8F) {
        children = 2u * (type & 0x0F);
        return need(1);
    }
    if (type >= 0x90 && type <= 0x9F) {
        children = type & 0x0F;
        return need(1);
    }
    if (type >= 0xA0 && type <= 0xBF) {
        payload = type & 0x1F;
        return need(1);
    }
    switch (type) {
    case 0xC4:
    case 0xD9: // bin8, str8
        if (!need(2))
            return false;
        payload = header_[1];
        return true;
    case 0xC5:
    case 0xDA: // bin16, str16
        if (!need(3))
            return false;
        payload = bigEndian(header_ + 1, 2);
        return true;
    case 0xC6:
    case 0xDB: // bin32, str32
        if (!need(5))
            return false;
        payload = bigEndian(header_ + 1, 4);
        return true;
    case 0xC7: // ext8
        if (!need(3))
            return false;
        payload = header_[1];
        return true;
    case 0xC8: // ext16
        if (!need(4))
            return false;
        payload = bigEndian(header_ + 1, 2);
        return true;
    case 0xC9: // ext32
        if (!need(6))
            return false;
        payload = bigEndian(header_ + 1, 4);
        return true;
    case 0xCA:
        return need(5);
    case 0xCB:
        return need(9);
    case 0xCC:
    case 0xD0:
        return need(2);
    case 0xCD:
    case 0xD1:
        return need(3);
    case 0xCE:
    case 0xD2:
        return need(5);
    case 0xCF:
    case 0xD3:
        return need(9);
    case 0xD4:
        return need(3);
    case 0xD5:
        return need(4);
    case 0xD6:
        return need(6);
    case 0xD7:
        return need(10);
    case 0xD8: // fixext16: its payload follows the two header bytes
        if (!need(2))
            return false;
        payload = 16;
        return true;
    case 0xDC:
    case 0xDE: // array16, map16
        if (!need(3))
            return false;
        children = bigEndian(header_ + 1, 2) * (type == 0xDE ? 2 : 1);
        return true;
    case 0xDD:
    case 0xDF: // array32, map32
        if (!need(5))
            return false;
        children = bigEndian(header_ + 1, 4) * (type == 0xDF ? 2 : 1);
        return true;
    default:
        return need(1);
    }
}

void DeclaredSizeGuard::startValue(size_t headerSize, uint64_t payload, uint64_t children)
{
    declared_ += headerSize + payload;
    if (children > 0) {
        // Every child needs at least one byte; each is counted exactly as its header arrives.
        if (declared_ + children > limit_)
            refused_ = true;
        open_.push_back(children);
        return;
    }
    if (declared_ > limit_)
        refused_ = true;
    if (payload > 0)
        payloadLeft_ = payload;
    else
        finishValue();
}

void DeclaredSizeGuard::finishValue()
{
    while (!open_.empty()) {
        if (--open_.back() > 0)
            return;
        open_.pop_back();
    }
    declared_ = 0;
}

bool DeclaredSizeGuard::feed(const uint8_t *bytes, size_t count)
{
    size_t at = 0;
    lastAccepted_ = 0;
    if (refused_)
        return false;
    while (!refused_ && at < count) {
        if (payloadLeft_ > 0) {
            uint64_t skip = payloadLeft_ < count - at ? payloadLeft_ : count - at;
            payloadLeft_ -= skip;
            at += static_cast<size_t>(skip);
            if (payloadLeft_ == 0)
                finishValue();
            continue;
        }
        header_[headerLength_++] = bytes[at++];
        size_t headerSize = 0;
        uint64_t payload = 0;
        uint64_t children = 0;
        if (!headerComplete(headerSize, payload, children))
            continue;
        headerLength_ = 0;
        startValue(headerSize, payload, children);
    }
    lastAccepted_ = at;
    return !refused_;
}
