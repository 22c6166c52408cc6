#pragma once

#include "engine/ZipExtraction.h"
#include "engine/decode/ZipEntryDecoder.h"

#include <cstdint>

// Writes the data of placed entries (CZipExtraction) to their output files: decodes them from the
// archive file at their own positions through the entry decoder, checks the data descriptor, and
// stamps and closes the file. One writer a thread: it holds its own decoder, and shares nothing.
class CZipEntryWriter {
  public:
    // The decoder's chunk, and the largest entry it decodes in one call.
    static constexpr std::uint32_t bufferSize = 256 * 1024;

    CZipEntryWriter();

    // Sets job.outcome; the output file is closed, unless writing it failed (job.writeFailed).
    // Never throws.
    void Decode(CZipExtraction& job, int archiveHandle);
    // Decodes an entry whose writing failed once more, from the start of its emptied file.
    void Retry(CZipExtraction& job, int archiveHandle);

  private:
    // The data written and every check passed; a failed write throws, a failed check is false.
    bool WriteData(CZipExtraction& job, int archiveHandle);
    bool CheckDescriptor(const CZipExtraction& job, int archiveHandle) const;

    CZipEntryDecoder decoder;
};
