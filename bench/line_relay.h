// A long, thin line between a client and a server on 127.0.0.1, for the benchmarks: a TCP relay
// that holds every chunk for a one-way delay and lets each direction through at a shared rate,
// as a user's access line would (the kernel here has no netem to do it).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

class LineRelay {
public:
    // Relays connections to 127.0.0.1:targetPort. delay: each way; bitsPerSecond: the line's
    // rate in each direction, shared by all connections.
    LineRelay(unsigned short targetPort, std::chrono::milliseconds delay, double bitsPerSecond);
    ~LineRelay();
    LineRelay(const LineRelay&) = delete;
    LineRelay& operator=(const LineRelay&) = delete;

    // Listens on a free port of 127.0.0.1; returns it, or 0 (said on stderr).
    unsigned short Start();

    // One direction of the line: when the bytes put on it now leave it, all connections'
    // bytes taking turns.
    class Pacer {
    public:
        explicit Pacer(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}
        std::chrono::steady_clock::time_point Send(std::size_t bytes);

    private:
        std::mutex mutex_;
        double bytesPerSecond_;
        std::chrono::steady_clock::time_point free_{};
    };

private:
    void Accept();
    void Relay(int client);

    unsigned short targetPort_;
    std::chrono::milliseconds delay_;
    Pacer up_;
    Pacer down_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> sockets_;
    std::vector<std::thread> connections_;
};

}  // namespace bench
