#pragma once

#include "engine/ZipExtraction.h"
#include "engine/decode/ZipEntryDecoder.h"

#include <cstdint>

// Writes the data of placed entries (CZipExtraction) to their output files: decodes them from the
// archive file at their own positions through the entry decoder, checks the data descriptor, and
// stamps, names and closes the file. One writer a thread: it holds its own decoder, and shares nothing.
class CZipEntryWriter {
  public:
    // The decoder's chunk, and the largest entry it decodes in one call.
    static constexpr std::uint32_t bufferSize = 256 * 1024;

    CZipEntryWriter();

    // Sets job.outcome; the output file is closed, unless writing it failed (job.writeFailed) or it
    // is unnamed and something stands at its name. Never throws.
    void Decode(CZipExtraction& job, int archiveHandle);
    // Names a file whose data were written and checked, where nothing stands at its name, and
    // closes it (else it stays open for EndExtraction). Decode does only this for job.written.
    void Name(CZipExtraction& job);
    // Decodes an entry whose writing failed once more, from the start of its emptied file.
    void Retry(CZipExtraction& job, int archiveHandle);

  private:
    // Makes the output of a job placed with createLater; false where it is not made (createFailed
    // where it could not be, for the thread that ends the entry).
    bool MakeOutput(CZipExtraction& job);
    // The data written and every check passed; a failed write throws, a failed check is false.
    bool WriteData(CZipExtraction& job, int archiveHandle);
    bool CheckDescriptor(const CZipExtraction& job, int archiveHandle) const;

    CZipEntryDecoder decoder;
};
