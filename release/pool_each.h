// PoolEach: runs one job per index on the global thread pool, the calling thread taking part, and
// returns when every job has run. The walk hashes files and the install step unpacks archives with it.
#pragma once

#include <functional>

namespace release {

// Calls job(i) once for each i in [0, count), on the calling thread and on up to threads - 1
// helpers queued on QThreadPool::globalInstance(); threads <= 0 means QThread::idealThreadCount().
// Indexes are handed out in increasing order, each to the next thread that is free. The caller
// never waits for a helper the pool has not started: when the pool is busy with other work the
// caller runs every job itself. job must be safe to call from several threads at once; what one
// call writes is visible to the caller when PoolEach returns.
void PoolEach(int count, const std::function<void(int)>& job, int threads = 0);

}  // namespace release
