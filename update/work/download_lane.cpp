// Download lane: the lane's thread runs one libcurl batch for its connections and all its
// transfers. Each transfer is a DownLoadWork made in this thread, so its report arrives here
// directly; it is passed on once, and the next job starts in its place.
#include "download_lane.h"

#include <QMutexLocker>

#include "curl_batch.h"
#include "download_work.h"

bool DownLoadQueue::Take(DownLoadJob* job) {
    QMutexLocker lock(&mutex_);
    if (next_ >= jobs_.size()) return false;
    *job = jobs_.at(next_++);
    return true;
}

DownLoadLane::DownLoadLane(const QString& downloadDir, int type, std::shared_ptr<DownLoadQueue> queue)
    : QObject(nullptr), downloadDir_(downloadDir), type_(type), queue_(std::move(queue)) {}

void DownLoadLane::run() {
    CurlBatch batch;
    batch_ = &batch;
    Fill();
    batch.Run([this] { Fill(); });
    done_.clear();
    batch_ = nullptr;
}

void DownLoadLane::Fill() {
    done_.clear();
    DownLoadJob job;
    while (static_cast<int>(live_.size()) < kTransfers && queue_->Take(&job)) {
        auto work = std::make_unique<DownLoadWork>(downloadDir_, type_);
        DownLoadWork* transfer = work.get();
        transfer->SetFileName(job.fileName);
        transfer->SetUrl(job.url);
        transfer->SetSizeLimit(job.sizeLimit);
        transfer->SetExpectedSha256(job.sha256);
        live_.emplace(transfer, std::move(work));
        // The report comes in this thread, from inside the batch's loop (or from inside Start()
        // when no request went out); the work is kept until the next Fill().
        connect(transfer, &DownLoadWork::workfinished, transfer, [this, transfer](int type, int ecode) {
            auto node = live_.extract(transfer);
            done_.push_back(std::move(node.mapped()));
            emit workfinished(type, ecode);
        }, Qt::DirectConnection);
        transfer->Start(batch_);
    }
}
