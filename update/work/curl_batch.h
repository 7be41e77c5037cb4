// CurlBatch: the transfers that one thread drives at once through a libcurl multi handle, which
// keeps their connections open per host from one file to the next.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

class CurlBatch {
public:
    CurlBatch();
    ~CurlBatch();
    CurlBatch(const CurlBatch&) = delete;
    CurlBatch& operator=(const CurlBatch&) = delete;

    // Adds a configured easy handle (a CURL*), to start after delay; done is called with its
    // result (a CURLcode) from Run() when the transfer has ended and the handle is out of the
    // batch again. done may Add() the same handle again, for another attempt.
    void Add(void* easy, std::function<void(int)> done,
             std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // Runs work on the global thread pool, then done on the thread running this batch, from
    // Run(), which goes on until it has: the transfers carry on meanwhile. done may Add() more.
    void Offload(std::function<void()> work, std::function<void()> done);
    // Drives every transfer until none is left, waiting ones and offloaded work included. After
    // each end, refill may Add() more.
    void Run(const std::function<void()>& refill = {});

private:
    struct Waiting {
        std::chrono::steady_clock::time_point due;
        void* easy;
        std::function<void(int)> done;
    };
    void Start(void* easy, std::function<void(int)> done);
    // Starts the waiting transfers that are due; returns the time until the next one, if any.
    std::chrono::milliseconds StartDue();

    // Calls the done of each offloaded work that has finished; returns how many.
    int FinishOffloaded();

    void* multi_;
    std::unordered_map<void*, std::function<void(int)>> running_;
    std::vector<Waiting> waiting_;
    // Offloaded work not finished yet (this thread's count), and the dones of finished work,
    // handed over by the pool threads.
    int offloaded_ = 0;
    std::mutex finishedMutex_;
    std::vector<std::function<void()>> finished_;
};
