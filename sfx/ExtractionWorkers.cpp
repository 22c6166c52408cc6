#include "sfx/ExtractionWorkers.h"

// A program built for one thread leaves the workers out whole (some linkers keep what nothing calls).
#if !defined(ROZBAL_WORKERS) || ROZBAL_WORKERS != 1

#include "engine/ZipEntryDecoder.h"
#include "engine/ZipExtraction.h"

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
    {
        std::lock_guard<std::mutex> guard(lock);
        task.decoded = false;
        queue.push_back(&task);
    }
    wake.notify_one();
}

bool CExtractionWorkers::IsDecoded(const Task& task) {
    std::lock_guard<std::mutex> guard(lock);
    return task.decoded;
}

void CExtractionWorkers::Wait(const Task& task) {
    std::unique_lock<std::mutex> guard(lock);
    decoded.wait(guard, [&task] { return task.decoded; });
}

void CExtractionWorkers::Work() {
    // Its buffers are allocated here, by the thread that uses them.
    const auto decoder = std::make_unique<CZipEntryDecoder>();
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return ending || !queue.empty(); });
        if (queue.empty())
            return;
        Task* task = queue.front();
        queue.pop_front();
        guard.unlock();
        decoder->Decode(*task->job, archive);
        guard.lock();
        task->decoded = true;
        decoded.notify_all();
    }
}

#endif
