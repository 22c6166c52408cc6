#pragma once

#include "engine/ZipStream.h"

#include <cstdint>

// Writes an entry's output behind its decoding, on another thread: the decoding thread fills a chunk,
// hands it over and fills the next while the last is written. Given to the archive by a caller that
// has a second core (SetChunkWriter); the archive uses it for entries of at least MinimumSize().
class CZipChunkWriter {
  public:
    CZipChunkWriter() = default;
    CZipChunkWriter(const CZipChunkWriter&) = delete;
    CZipChunkWriter& operator=(const CZipChunkWriter&) = delete;
    virtual ~CZipChunkWriter() = default;

    virtual std::uint32_t ChunkSize() const = 0;
    virtual std::uint64_t MinimumSize() const = 0;
    // Starts an entry's output; output must stay open until Finish or Abandon has returned.
    virtual void Start(CZipStream& output) = 0;
    // A free chunk of ChunkSize() bytes, once one is; throws what a write behind threw.
    virtual unsigned char* Take() = 0;
    // Writes size bytes of chunk, from Take, behind the caller's back (size 0: the chunk goes back).
    virtual void Give(unsigned char* chunk, std::uint32_t size) = 0;
    // Returns once every chunk is written; throws what a write threw.
    virtual void Finish() = 0;
    // After a failure of the decoding thread: waits for the write under way, drops the others. A
    // write that failed before, which a single thread would have met first, is thrown instead.
    virtual void Abandon() = 0;
};
