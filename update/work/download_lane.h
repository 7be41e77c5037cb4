// DownLoadLane: one pool thread's share of a download batch. It takes the batch's jobs in turn
// and keeps a few transfers in flight through one CurlBatch, whose connections stay open from one
// file to the next.
#pragma once

#include <QMutex>
#include <QObject>
#include <QRunnable>
#include <QString>
#include <QVector>

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "fetch_list.h"

class CurlBatch;
class DownLoadWork;

// One file of a batch: the path below the download directory, its URL, the bytes it may have
// (negative: no bound of its own) and its SHA-256 (empty: unknown). With a patch, the patch is
// fetched and applied first, and the file itself only when that fails.
struct DownLoadJob {
    QString fileName;
    QString url;
    qint64 sizeLimit = -1;
    QString sha256{};
    std::optional<FetchPatch> patch{};
};

// The jobs of one batch, handed out in their order to the lanes that serve it.
class DownLoadQueue {
public:
    explicit DownLoadQueue(QVector<DownLoadJob> jobs) : jobs_(std::move(jobs)) {}
    // The next job not handed out yet; false when none is left.
    bool Take(DownLoadJob* job);

private:
    QMutex mutex_;
    QVector<DownLoadJob> jobs_;
    int next_ = 0;
};

class DownLoadLane : public QObject, public QRunnable {
    Q_OBJECT
public:
    // Transfers one lane keeps in flight, each on a connection of its own (libcurl opens one
    // whenever none is idle), so its stall countdown measures the server, not a wait for a free
    // connection.
    static constexpr int kTransfers = 4;

    // Every job of queue is fetched into downloadDir as a DownLoadWork of that type.
    DownLoadLane(const QString& downloadDir, int type, std::shared_ptr<DownLoadQueue> queue);

    // Returns when the queue is empty and this lane's last transfer has reported.
    void run() override;

signals:
    // Once per job this lane took: the job's DownLoadWork report.
    void workfinished(int type, int ecode);

private:
    // Deletes the transfers that have reported, then starts jobs until kTransfers are in flight
    // or the queue is empty.
    void Fill();
    // Starts the transfer of job's patch (when it has one and patch is true) or of its file.
    void Start(const DownLoadJob& job, bool patch);
    // After the patch of job arrived (ecode 0) or failed: the file rebuilt on the global pool (the
    // transfers carry on meanwhile) and the job reported, or else the archive fetched after all.
    void Rebuild(const DownLoadJob& job, int ecode);
    // The archive of job after all, its patch given up for why.
    void GiveUpPatch(const DownLoadJob& job, const QString& why);

    QString downloadDir_;
    int type_;
    std::shared_ptr<DownLoadQueue> queue_;
    // Valid while run() runs.
    CurlBatch* batch_ = nullptr;
    // Transfers in flight; those that have reported, deleted by the next Fill() (not from inside
    // their own report).
    std::unordered_map<DownLoadWork*, std::unique_ptr<DownLoadWork>> live_;
    std::vector<std::unique_ptr<DownLoadWork>> done_;
};
