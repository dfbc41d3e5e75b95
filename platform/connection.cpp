#include "platform/connection.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/message_codec.h"

namespace local_debugger {

namespace {
constexpr size_t readSize = 64 * 1024;
}

Connection::Connection(int fd) : fd_(fd)
{
    // Room for a whole relayed chunk in flight, so a writer waits on its reader less often.
    int size = 2 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

Connection::~Connection()
{
    close(fd_);
}

bool Connection::writeAll(iovec *parts, int count, int flags)
{
    while (count > 0) {
        msghdr header{};
        header.msg_iov = parts;
        header.msg_iovlen = static_cast<size_t>(count);
        ssize_t written = sendmsg(fd_, &header, MSG_NOSIGNAL | flags);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = static_cast<size_t>(written);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char *>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
    return true;
}

bool Connection::send(const Message &message)
{
    return sendEncoded(encodeMessage(message));
}

bool Connection::sendEncoded(const std::string &encoded)
{
    iovec part{const_cast<char *>(encoded.data()), encoded.size()};
    std::lock_guard<std::mutex> guard(writeLock_);
    return writeAll(&part, 1);
}

ssize_t Connection::trySend(std::string_view bytes)
{
    std::lock_guard<std::mutex> guard(writeLock_);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (written < 0)
            return -1;
        done += static_cast<size_t>(written);
    }
    return static_cast<ssize_t>(done);
}

bool Connection::sendData(const uint8_t *bytes, size_t count)
{
    DataMessageHeader header = encodeDataMessageHeader(count);
    iovec parts[2] = {{header.bytes, header.size}, {const_cast<uint8_t *>(bytes), count}};
    std::lock_guard<std::mutex> guard(writeLock_);
    return writeAll(parts, count > 0 ? 2 : 1);
}

bool Connection::sendDataFromPipe(int pipeFd, size_t count)
{
    DataMessageHeader header = encodeDataMessageHeader(count);
    iovec part{header.bytes, header.size};
    std::lock_guard<std::mutex> guard(writeLock_);
    if (!writeAll(&part, 1, MSG_MORE))
        return false;
    while (count > 0) {
        ssize_t moved = splice(pipeFd, nullptr, fd_, nullptr, count, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0 && errno == EINVAL) {
            // A socket that takes no spliced pages: the rest goes through a buffer.
            char buffer[64 * 1024];
            ssize_t got = read(pipeFd, buffer, std::min(count, sizeof buffer));
            if (got <= 0)
                return false;
            iovec rest{buffer, static_cast<size_t>(got)};
            if (!writeAll(&rest, 1))
                return false;
            moved = got;
        }
        if (moved <= 0)
            return false;
        count -= static_cast<size_t>(moved);
    }
    return true;
}

Connection::End Connection::receive(const std::function<void(Message &)> &onMessage)
{
    MessageDecoder decoder;
    for (;;) {
        std::span<char> space = decoder.readSpace(readSize);
        ssize_t got = read(fd_, space.data(), space.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return End::Failed;
        }
        if (got == 0)
            return End::Closed;
        decoder.commit(static_cast<size_t>(got));
        for (;;) {
            Message message;
            MessageDecoder::Status status = decoder.next(message);
            if (status == MessageDecoder::Status::NeedMore)
                break;
            if (status == MessageDecoder::Status::BadInput)
                return End::BadInput;
            if (status == MessageDecoder::Status::Message)
                onMessage(message);
        }
    }
}

void Connection::shutdown()
{
    ::shutdown(fd_, SHUT_RDWR);
}

} // namespace local_debugger
