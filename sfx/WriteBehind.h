#pragma once

#include "engine/ZipChunkWriter.h"
#include "engine/ZipException.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// The chunk writer of a run on one thread with a second core: one thread, started at the first big
// entry, writes the chunks the extracting thread decodes, in order. Four chunks of 256 KiB: the
// decoding runs a chunk or more ahead of the writes.
class CWriteBehind : public CZipChunkWriter {
  public:
    static constexpr std::uint32_t chunkSize = 256 * 1024;
    static constexpr std::size_t chunkCount = 4;
    // Smaller entries are written in fewer chunks than the hand-overs would pay for.
    static constexpr std::uint64_t minimumSize = 4u << 20;

    CWriteBehind();
    ~CWriteBehind() override;

    std::uint32_t ChunkSize() const override { return chunkSize; }
    std::uint64_t MinimumSize() const override { return minimumSize; }
    void Start(CZipStream& output) override;
    unsigned char* Take() override;
    void Give(unsigned char* chunk, std::uint32_t size) override;
    void Finish() override;
    void Abandon() override;

  private:
    void Work();
    // With the lock held: throws the failure of a write, once.
    void ThrowFailure();

    std::unique_ptr<unsigned char[]> block;
    std::mutex lock;
    std::condition_variable toWrite; // a chunk to write, or the end
    std::condition_variable written; // a chunk is free again
    std::vector<unsigned char*> free;
    std::deque<std::pair<unsigned char*, std::uint32_t>> queue;
    CZipStream* output = nullptr;
    bool writing = false;
    bool ending = false;
    // A write's failure, thrown again on the extracting thread (a copy: smaller than an
    // exception_ptr's machinery).
    std::unique_ptr<CZipException> failure;
    std::thread thread;
};
