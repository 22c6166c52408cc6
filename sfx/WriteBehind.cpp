#include "sfx/WriteBehind.h"

// A program built for one thread leaves it out whole.
#if !defined(ROZBAL_WORKERS) || ROZBAL_WORKERS != 1

CWriteBehind::CWriteBehind() : block(new unsigned char[chunkSize * chunkCount]) {
    for (std::size_t i = 0; i < chunkCount; ++i)
        free.push_back(block.get() + i * chunkSize);
}

CWriteBehind::~CWriteBehind() {
    {
        std::lock_guard<std::mutex> hold(lock);
        ending = true;
    }
    toWrite.notify_one();
    if (thread.joinable())
        thread.join();
}

void CWriteBehind::Start(CZipStream& newOutput) {
    std::lock_guard<std::mutex> hold(lock);
    output = &newOutput;
    failure.reset();
    if (!thread.joinable())
        thread = std::thread(&CWriteBehind::Work, this);
}

void CWriteBehind::ThrowFailure() {
    if (failure) {
        const CZipException thrown = *failure;
        failure.reset();
        throw thrown;
    }
}

unsigned char* CWriteBehind::Take() {
    std::unique_lock<std::mutex> hold(lock);
    written.wait(hold, [this] { return !free.empty() || failure != nullptr; });
    ThrowFailure();
    unsigned char* chunk = free.back();
    free.pop_back();
    return chunk;
}

void CWriteBehind::Give(unsigned char* chunk, std::uint32_t size) {
    {
        std::lock_guard<std::mutex> hold(lock);
        if (size == 0 || failure != nullptr) {
            free.push_back(chunk);
            return;
        }
        queue.emplace_back(chunk, size);
    }
    toWrite.notify_one();
}

void CWriteBehind::Finish() {
    std::unique_lock<std::mutex> hold(lock);
    written.wait(hold, [this] { return queue.empty() && !writing; });
    ThrowFailure();
}

void CWriteBehind::Abandon() {
    std::unique_lock<std::mutex> hold(lock);
    for (const auto& waiting : queue)
        free.push_back(waiting.first);
    queue.clear();
    written.wait(hold, [this] { return !writing; });
    ThrowFailure();
}

void CWriteBehind::Work() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        toWrite.wait(hold, [this] { return !queue.empty() || ending; });
        if (queue.empty())
            return;
        const auto chunk = queue.front();
        queue.pop_front();
        writing = true;
        CZipStream* to = output;
        hold.unlock();
        std::unique_ptr<CZipException> failed;
        try {
            to->Write(chunk.first, chunk.second);
        } catch (const CZipException& e) {
            failed = std::make_unique<CZipException>(e);
        } catch (...) {
            failed = std::make_unique<CZipException>(CZipException::Unspecified);
        }
        hold.lock();
        writing = false;
        free.push_back(chunk.first);
        if (failed) {
            // The rest would follow a hole in the file: they go back unwritten.
            failure = std::move(failed);
            for (const auto& waiting : queue)
                free.push_back(waiting.first);
            queue.clear();
        }
        written.notify_one();
    }
}

#endif
