// The caller and its helpers take indexes from one atomic counter. A helper the pool starts
// only after the caller has finished (all indexes taken, the run closed) returns at once, so
// the caller waits only for helpers that are actually inside a job, never for queued ones: the
// pool may be full of other work, or hold this very caller on its only thread.
#include "pool_each.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>
#include <memory>

namespace release {

namespace {

struct Run {
    Run(int count, const std::function<void(int)>& job) : count(count), job(job) {}

    // Runs jobs until no index is left.
    void Drain() {
        for (int i = next.fetch_add(1, std::memory_order_relaxed); i < count;
             i = next.fetch_add(1, std::memory_order_relaxed)) {
            job(i);
        }
    }

    const int count;
    // Refers to the caller's job; only called while the run is open or a helper is inside it.
    const std::function<void(int)>& job;
    std::atomic<int> next{0};
    QMutex mutex;
    QWaitCondition allOut;
    int inside = 0;       // helpers between entering and leaving Drain
    bool closed = false;  // the caller is done; late helpers must not touch job
};

class Helper : public QRunnable {
public:
    explicit Helper(std::shared_ptr<Run> run) : run_(std::move(run)) {}

    void run() override {
        {
            QMutexLocker lock(&run_->mutex);
            if (run_->closed) return;
            ++run_->inside;
        }
        run_->Drain();
        QMutexLocker lock(&run_->mutex);
        if (--run_->inside == 0) run_->allOut.wakeAll();
    }

private:
    std::shared_ptr<Run> run_;  // outlives the caller when the pool starts this late
};

}  // namespace

void PoolEach(int count, const std::function<void(int)>& job, int threads) {
    if (count <= 0) return;
    if (threads <= 0) threads = QThread::idealThreadCount();
    auto run = std::make_shared<Run>(count, job);
    const int helpers = qMin(threads, count) - 1;
    for (int h = 0; h < helpers; ++h) QThreadPool::globalInstance()->start(new Helper(run));
    run->Drain();
    QMutexLocker lock(&run->mutex);
    run->closed = true;
    while (run->inside > 0) run->allOut.wait(&run->mutex);
}

}  // namespace release
