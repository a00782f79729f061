#include "QuietServer.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace devrelay {
namespace {

int milliseconds(time_t sec, time_t usec) {
    return static_cast<int>(std::min<time_t>(sec * 1000 + usec / 1000, 24 * 3600 * 1000));
}

// Waits until `sock` is ready for `events`; false on timeout, error or once
// the server is stopping.
bool await(int sock, short events, int stopEvent, int timeoutMs) {
    pollfd fds[] = {{sock, events, 0}, {stopEvent, POLLIN, 0}};
    int ready = 0;
    do
        ready = ::poll(fds, 2, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
}

void nameOf(int sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int got = peer ? ::getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length)
                         : ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (got != 0 || ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = std::atoi(service);
}

// Reads through a buffer (the library's request parser reads a byte at a
// time) and keeps what is written until flush(), so a reply leaves in one
// send.
class BufferedStream final : public httplib::Stream {
public:
    BufferedStream(int sock, int stopEvent, int readTimeoutMs, int writeTimeoutMs)
        : sock_(sock), stopEvent_(stopEvent), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs) {}

    bool is_readable() const override { return hasInput() || await(sock_, POLLIN, stopEvent_, readTimeoutMs_); }
    bool is_writable() const override { return true; }

    ssize_t read(char* ptr, size_t size) override {
        // Whatever is still held goes out first: the client may be waiting
        // for it ("100 Continue") before it sends more.
        if (!flush())
            return -1;
        while (!hasInput()) {
            const ssize_t got = ::recv(sock_, in_, sizeof in_, MSG_DONTWAIT);
            if (got >= 0) {
                begin_ = 0;
                end_ = static_cast<size_t>(got);
                if (got == 0)
                    return 0; // the client closed
            } else if (errno != EINTR &&
                       !((errno == EAGAIN || errno == EWOULDBLOCK) && await(sock_, POLLIN, stopEvent_, readTimeoutMs_))) {
                return -1;
            }
        }
        const size_t count = std::min(size, end_ - begin_);
        std::memcpy(ptr, in_ + begin_, count);
        begin_ += count;
        return static_cast<ssize_t>(count);
    }

    // A large body goes straight out after what is held, not copied first.
    ssize_t write(const char* ptr, size_t size) override {
        if (out_.size() + size <= maxHeld)
            out_.append(ptr, size);
        else if (!flush() || !sendAll(ptr, size))
            return -1;
        return static_cast<ssize_t>(size);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { nameOf(sock_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { nameOf(sock_, false, ip, port); }
    socket_t socket() const override { return sock_; }

    bool hasInput() const { return begin_ < end_; }

    // Sends everything held; false if the client is gone or too slow.
    bool flush() {
        const bool sent = sendAll(out_.data(), out_.size());
        out_.clear();
        return sent;
    }

private:
    static constexpr size_t maxHeld = 64 * 1024;

    bool sendAll(const char* data, size_t size) {
        size_t sent = 0;
        while (sent < size) {
            const ssize_t n = ::send(sock_, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && await(sock_, POLLOUT, stopEvent_, writeTimeoutMs_))
                continue;
            else
                return false;
        }
        return true;
    }

    int sock_;
    int stopEvent_;
    int readTimeoutMs_;
    int writeTimeoutMs_;
    char in_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
    std::string out_;
};

} // namespace

QuietServer::QuietServer() : stopEvent_(::eventfd(0, EFD_CLOEXEC)) {
    if (stopEvent_ < 0)
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

QuietServer::~QuietServer() {
    ::close(stopEvent_);
}

void QuietServer::stop() {
    const eventfd_t one = 1;
    (void)!::write(stopEvent_, &one, sizeof one);
    httplib::Server::stop();
}

bool QuietServer::process_and_close_socket(socket_t sock) {
    BufferedStream stream(sock, stopEvent_, milliseconds(read_timeout_sec_, read_timeout_usec_),
                          milliseconds(write_timeout_sec_, write_timeout_usec_));
    const int idleMs = milliseconds(keep_alive_timeout_sec_, 0);
    bool ok = false;
    for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
        if (!stream.hasInput() && !await(sock, POLLIN, stopEvent_, idleMs))
            break;
        bool closed = false;
        ok = process_request(stream, left == 1, closed, nullptr);
        ok = stream.flush() && ok;
        if (!ok || closed)
            break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

} // namespace devrelay
