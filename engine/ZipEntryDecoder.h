#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipExtraction.h"

#include <cstdint>
#include <memory>
#include <zlib.h>

struct libdeflate_decompressor;

// Writes the data of placed entries (CZipExtraction) to their output files: reads them from the
// archive file at their own positions, decrypts, inflates, checks them against the CRC, the sizes
// and the data descriptor, and stamps and closes the file. One decoder a thread: it holds its own
// buffers, keys and inflate state, and shares nothing.
//
// An entry whose compressed and uncompressed sizes both fit the buffers is inflated in one call
// where the whole-buffer decoder is built in; the rest streams through zlib.
class CZipEntryDecoder {
  public:
    // Both buffers: the chunk of a streamed entry and the largest entry inflated in one call.
    static constexpr std::uint32_t bufferSize = 256 * 1024;

    CZipEntryDecoder();
    CZipEntryDecoder(const CZipEntryDecoder&) = delete;
    CZipEntryDecoder& operator=(const CZipEntryDecoder&) = delete;
    ~CZipEntryDecoder();

    // Sets job.outcome; the output file is closed, unless writing it failed (job.writeFailed).
    // Never throws.
    void Decode(CZipExtraction& job, int archiveHandle);
    // Decodes an entry whose writing failed once more, from the start of its emptied file.
    void Retry(CZipExtraction& job, int archiveHandle);

    // Does the one-time set-up of the libraries the decoders share, so that threads started later
    // find it done.
    static void PrepareShared();

  private:
    bool DecodeData(CZipExtraction& job);
    // Exactly count bytes at offset, decrypted when the entry is.
    bool ReadData(std::uint64_t offset, unsigned char* bytes, std::uint32_t count, bool decrypt);
    bool CopyStored(CZipExtraction& job, std::uint64_t position, std::uint64_t size);
    bool InflateStream(CZipExtraction& job, std::uint64_t position, std::uint64_t size);
    bool InflateWhole(CZipExtraction& job, std::uint64_t position, std::uint64_t size);
    bool CheckDescriptor(const CZipExtraction& job) const;
    void Deliver(CZipExtraction& job, const unsigned char* bytes, std::uint32_t count);

    std::unique_ptr<unsigned char[]> inputBlock;
    std::unique_ptr<unsigned char[]> outputBlock;
    unsigned char* input; // bufferSize bytes from a cache-line boundary
    unsigned char* output;
    z_stream stream{};
    bool streamReady = false;
    libdeflate_decompressor* whole = nullptr;
    int archive = -1;
    std::uint32_t keys[3] = {};
    std::uint32_t crc = 0;
};
