// Download lane: the lane's thread runs one event loop for its connections and all its transfers.
// Each transfer is a DownLoadWork made in this thread, so its signals arrive here directly; its
// report is passed on once, and the next job starts in its place.
#include "download_lane.h"

#include <QEventLoop>
#include <QMutexLocker>

#include "download_work.h"
#include "http_client.h"

bool DownLoadQueue::Take(DownLoadJob* job) {
    QMutexLocker lock(&mutex_);
    if (next_ >= jobs_.size()) return false;
    *job = jobs_.at(next_++);
    return true;
}

DownLoadLane::DownLoadLane(const QString& downloadDir, int type, std::shared_ptr<DownLoadQueue> queue)
    : QObject(nullptr), downloadDir_(downloadDir), type_(type), queue_(std::move(queue)) {}

void DownLoadLane::run() {
    HttpClient client;
    // Finished transfers delete themselves later; whatever is left goes with this parent,
    // before the client and its idle connections.
    QObject transfers;
    QEventLoop loop;
    client_ = &client;
    transfers_ = &transfers;
    loop_ = &loop;
    Fill();
    if (running_ > 0) loop.exec();
    client_ = nullptr;
    transfers_ = nullptr;
    loop_ = nullptr;
}

void DownLoadLane::Fill() {
    if (filling_) return;
    filling_ = true;
    DownLoadJob job;
    while (running_ < kTransfers && queue_->Take(&job)) {
        auto* work = new DownLoadWork(downloadDir_, type_);
        work->setParent(transfers_);
        work->SetFileName(job.fileName);
        work->SetUrl(job.url);
        work->SetSizeLimit(job.sizeLimit);
        ++running_;
        // The work, not this lane (which belongs to the thread that made it), is the context:
        // the report is handled here, at once.
        connect(work, &DownLoadWork::workfinished, work, [this, work](int type, int ecode) {
            --running_;
            emit workfinished(type, ecode);
            work->deleteLater();
            Fill();
        });
        work->Start(client_);
    }
    filling_ = false;
    if (running_ == 0) loop_->quit();
}
