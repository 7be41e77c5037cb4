// The batch's loop: finish what came back from the pool, start what is due, perform, hand out
// what ended, wait for the sockets (at most 100 ms, so that the transfers' progress callbacks,
// which keep their stall and speed limits, run often enough, and no longer than until the next
// waiting transfer is due; work coming back from the pool wakes the wait at once).
#include "curl_batch.h"

#include <QRunnable>
#include <QThreadPool>

#include <curl/curl.h>

#include <algorithm>
#include <mutex>

namespace {

constexpr int kPollMs = 100;

// curl_global_init is not thread-safe before 7.84; the first batch of the process does it once.
void InitCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlBatch::CurlBatch() {
    InitCurl();
    multi_ = curl_multi_init();
}

CurlBatch::~CurlBatch() {
    for (auto& [easy, done] : running_) curl_multi_remove_handle(multi_, easy);
    curl_multi_cleanup(multi_);
}

void CurlBatch::Add(void* easy, std::function<void(int)> done, std::chrono::milliseconds delay) {
    if (delay.count() > 0) {
        waiting_.push_back({std::chrono::steady_clock::now() + delay, easy, std::move(done)});
        return;
    }
    Start(easy, std::move(done));
}

void CurlBatch::Start(void* easy, std::function<void(int)> done) {
    running_.emplace(easy, std::move(done));
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        auto node = running_.extract(easy);
        node.mapped()(CURLE_FAILED_INIT);
    }
}

std::chrono::milliseconds CurlBatch::StartDue() {
    const auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::milliseconds(kPollMs);
    std::vector<Waiting> due;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->due <= now) {
            due.push_back(std::move(*it));
            it = waiting_.erase(it);
        } else {
            next = std::min(next, std::chrono::duration_cast<std::chrono::milliseconds>(it->due - now) +
                                      std::chrono::milliseconds(1));
            ++it;
        }
    }
    for (Waiting& transfer : due) Start(transfer.easy, std::move(transfer.done));
    return next;
}

void CurlBatch::Offload(std::function<void()> work, std::function<void()> done) {
    ++offloaded_;
    QThreadPool::globalInstance()->start(QRunnable::create([this, work = std::move(work), done = std::move(done)] {
        work();
        // Under the lock: once Run() has taken this done it may end, and the batch with it.
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished_.push_back(done);
        curl_multi_wakeup(multi_);  // out of its poll at once
    }));
}

int CurlBatch::FinishOffloaded() {
    std::vector<std::function<void()>> finished;
    {
        std::lock_guard<std::mutex> lock(finishedMutex_);
        finished.swap(finished_);
    }
    for (const auto& done : finished) {
        --offloaded_;
        done();
    }
    return static_cast<int>(finished.size());
}

void CurlBatch::Run(const std::function<void()>& refill) {
    while (!running_.empty() || !waiting_.empty() || offloaded_ > 0) {
        if (FinishOffloaded() > 0 && refill) refill();
        const std::chrono::milliseconds wait = StartDue();
        int active = 0;
        curl_multi_perform(multi_, &active);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            const CURLcode result = message->data.result;
            curl_multi_remove_handle(multi_, easy);
            auto node = running_.extract(easy);
            if (node) node.mapped()(result);
            if (refill) refill();
        }
        if (running_.empty() && waiting_.empty() && offloaded_ == 0) break;
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }
}
