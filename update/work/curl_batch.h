// CurlBatch: the transfers that one thread drives at once through a libcurl multi handle, which
// keeps their connections open per host from one file to the next.
#pragma once

#include <functional>
#include <unordered_map>

class CurlBatch {
public:
    CurlBatch();
    ~CurlBatch();
    CurlBatch(const CurlBatch&) = delete;
    CurlBatch& operator=(const CurlBatch&) = delete;

    // Adds a configured easy handle (a CURL*); done is called with its result (a CURLcode)
    // from Run() when the transfer has ended and the handle is out of the batch again.
    void Add(void* easy, std::function<void(int)> done);
    // Drives every transfer until none is left. After each end, refill may Add() more.
    void Run(const std::function<void()>& refill = {});

private:
    void* multi_;
    std::unordered_map<void*, std::function<void(int)>> running_;
};
