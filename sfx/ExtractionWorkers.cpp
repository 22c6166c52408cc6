#include "sfx/ExtractionWorkers.h"

// A program built for one thread leaves the workers out whole (some linkers keep what nothing calls).
#if !defined(ROZBAL_WORKERS) || ROZBAL_WORKERS != 1

#include "engine/ZipEntryWriter.h"
#include "engine/ZipExtraction.h"
#include "platform/ZipOs.h"

#include <memory>

CExtractionWorkers::CExtractionWorkers(int archiveHandle, unsigned threadCount) : archive(archiveHandle) {
    CZipEntryDecoder::PrepareShared();
    threads.reserve(threadCount);
    try {
        for (unsigned i = 0; i < threadCount; ++i)
            threads.emplace_back(&CExtractionWorkers::Work, this);
    } catch (...) {
        // The system gave fewer threads: the ones there do the work (none: the caller's thread).
    }
}

CExtractionWorkers::~CExtractionWorkers() {
    {
        std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void CExtractionWorkers::Submit(Task& task) {
    bool wakeOne;
    {
        std::lock_guard<std::mutex> guard(lock);
        task.decoded.store(false);
        queue.push_back(&task);
        wakeOne = sleeping > 0;
    }
    if (wakeOne)
        wake.notify_one();
}

bool CExtractionWorkers::Wait(const Task& task, std::chrono::milliseconds most) {
    if (task.decoded.load())
        return true;
    std::unique_lock<std::mutex> guard(lock);
    // Told before the task is looked at again: a thread that marks it decoded afterwards sees this
    // and wakes the waiter under the lock.
    waiting.store(true);
    const bool done = decoded.wait_for(guard, most, [&task] { return task.decoded.load(); });
    waiting.store(false);
    return done;
}

void CExtractionWorkers::Work() {
    ZipOs::KeepInterruptionsAway();
    ZipOs::MarkWorkerThread();
    // Its buffers are allocated here, by the thread that uses them.
    const auto decoder = std::make_unique<CZipEntryWriter>();
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        ++sleeping;
        wake.wait(guard, [this] { return ending || !queue.empty(); });
        --sleeping;
        if (queue.empty())
            return;
        Task* task = queue.front();
        queue.pop_front();
        guard.unlock();
        for (CZipExtraction* job : task->jobs)
            decoder->Decode(*job, archive);
        task->decoded.store(true);
        guard.lock();
        if (waiting.load())
            decoded.notify_all();
    }
}

#endif
