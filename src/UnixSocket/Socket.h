#pragma once

#include <cstdint>
#include <utility>

#include "UnixSocket/FileDescriptor.h"
#include "poll/Pollable.h"
#include "util/Function.h"
#include "util/View.h"

namespace UnixSocket {

// Receive size of every message socket: one read yields one whole packet of at
// most this many bytes; the kernel drops the rest of a longer packet.
constexpr uint32_t kMaxMessageSize = 512;

// A connected SOCK_SEQPACKET socket: one message per send, one per read. It owns
// its descriptor and tells its owner through callbacks, which the owner sets
// before the first wait and which must outlive every call.
class Socket : public Poll::Pollable {
public:
    using MessageHandler = Function<void(Socket&, View<const char>)>;
    using CloseHandler = Function<void(Socket&)>;

    explicit Socket(FileDescriptor&& fd) : fd_(std::move(fd)) {}
    // Moving takes the descriptor, leaves -1 behind and copies both callbacks.
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() = default;

    // True only when the whole message went out as one packet; never retried.
    bool send(View<const char> message);
    // One read: a message goes to onMessage (dropped when unset); end-of-stream
    // closes the socket and calls onClose. False on a read error.
    bool receive();
    // Receives one message only if one is waiting now; true when one was handled.
    bool receiveWaiting();
    // Waits for input, then receives once. Returns early on a signal or poll error,
    // at once when the socket is closed.
    void waitAndReceive();

    int fd() const { return fd_.get(); }

    Poll::DescriptorList fileDescriptors() const override;
    bool handleReadable(int fd) override;

    MessageHandler onMessage;
    CloseHandler onClose;

private:
    enum class Received { Message, Closed, Failed };
    Received receiveWith(int flags);

    FileDescriptor fd_;
};

} // namespace UnixSocket
