// Each relayed connection is two pumps, one per direction, each a reader and a writer thread:
// the reader stamps every chunk with the time it comes out of the line (its turn on the shared
// rate, then the delay) and queues it; the writer sends it at that time. A pump holds at most
// kQueueBytes, so a fast server is held back as a full line would hold it back.
#include "line_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <string>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 16 * 1024;
constexpr std::size_t kQueueBytes = 512 * 1024;

struct Chunk {
    std::string bytes;  // empty: the sender closed
    Clock::time_point due;
};

class Pump {
public:
    Pump(int from, int to, LineRelay::Pacer& pacer, std::chrono::milliseconds delay)
        : from_(from), to_(to), pacer_(pacer), delay_(delay) {}

    void Run() {
        std::thread writer([this] { Write(); });
        Read();
        writer.join();
    }

private:
    void Read() {
        std::string buffer(kChunk, '\0');
        for (;;) {
            const ssize_t got = recv(from_, &buffer[0], buffer.size(), 0);
            std::unique_lock<std::mutex> lock(mutex_);
            if (got <= 0) {
                queue_.push_back({std::string(), Clock::now() + delay_});
                ready_.notify_all();
                return;
            }
            room_.wait(lock, [this] { return queued_ < kQueueBytes || closed_; });
            if (closed_) return;
            queue_.push_back({buffer.substr(0, static_cast<std::size_t>(got)),
                              pacer_.Send(static_cast<std::size_t>(got)) + delay_});
            queued_ += static_cast<std::size_t>(got);
            ready_.notify_all();
        }
    }

    void Write() {
        for (;;) {
            Chunk chunk;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                chunk = std::move(queue_.front());
                queue_.pop_front();
            }
            std::this_thread::sleep_until(chunk.due);
            if (chunk.bytes.empty()) {
                shutdown(to_, SHUT_WR);
                return;
            }
            for (std::size_t sent = 0; sent < chunk.bytes.size();) {
                const ssize_t wrote = send(to_, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
                if (wrote <= 0) {
                    // The receiver is gone: the reader stops at its next chunk.
                    std::lock_guard<std::mutex> lock(mutex_);
                    closed_ = true;
                    room_.notify_all();
                    shutdown(from_, SHUT_RD);
                    return;
                }
                sent += static_cast<std::size_t>(wrote);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            queued_ -= chunk.bytes.size();
            room_.notify_all();
        }
    }

    int from_;
    int to_;
    LineRelay::Pacer& pacer_;
    std::chrono::milliseconds delay_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Chunk> queue_;
    std::size_t queued_ = 0;
    bool closed_ = false;
};

int ConnectTo(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

Clock::time_point LineRelay::Pacer::Send(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point start = std::max(Clock::now(), free_);
    free_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / bytesPerSecond_));
    return free_;
}

LineRelay::LineRelay(unsigned short targetPort, std::chrono::milliseconds delay, double bitsPerSecond)
    : targetPort_(targetPort), delay_(delay), up_(bitsPerSecond / 8), down_(bitsPerSecond / 8) {}

LineRelay::~LineRelay() {
    stopping_ = true;
    if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : sockets_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& connection : connections_) connection.join();
    for (int fd : sockets_) close(fd);
    if (listener_ >= 0) close(listener_);
}

unsigned short LineRelay::Start() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 128) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("line relay: cannot listen");
        return 0;
    }
    acceptor_ = std::thread([this] { Accept(); });
    return ntohs(address.sin_port);
}

void LineRelay::Accept() {
    for (;;) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0 || stopping_) {
            if (client >= 0) close(client);
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        sockets_.push_back(client);
        connections_.emplace_back([this, client] { Relay(client); });
    }
}

void LineRelay::Relay(int client) {
    const int server = ConnectTo(targetPort_);
    if (server < 0) {
        shutdown(client, SHUT_RDWR);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sockets_.push_back(server);
    }
    // Small writes go out at their due time, not when Nagle lets them.
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Pump up(client, server, up_, delay_);
    Pump down(server, client, down_, delay_);
    std::thread upward([&up] { up.Run(); });
    down.Run();
    upward.join();
}

}  // namespace bench
