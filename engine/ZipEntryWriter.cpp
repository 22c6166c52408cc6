#include "engine/ZipEntryWriter.h"

#include "engine/ZipException.h"
#include "engine/ZipRecords.h"
#include "platform/ZipOs.h"

#include <cstdint>

using namespace ZipRecords;

namespace {

// An entry's bytes read from the archive file at their own position, so that any number of threads
// read the one file at once.
class CZipFileRangeSource : public CZipDataSource {
  public:
    CZipFileRangeSource(int handle, std::uint64_t position) : handle(handle), position(position) {}

    void Read(unsigned char* bytes, std::uint32_t count) override {
        if (count == 0)
            return;
        if (position > static_cast<std::uint64_t>(INT64_MAX) ||
            ZipOs::ReadFileAt(handle, bytes, count, static_cast<std::int64_t>(position)) != count)
            CZipException::Throw(CZipException::BadArchive);
        position += count;
    }

  private:
    int handle;
    std::uint64_t position;
};

// Thrown past the decoder by a write the output file refused, with the cause.
struct OutputRefused {
    int code;
};
// Thrown past the decoder when the run was interrupted: the entry stops where it is.
struct Interrupted {};

} // namespace

CZipEntryWriter::CZipEntryWriter() : decoder(bufferSize, true) {}

void CZipEntryWriter::Name(CZipExtraction& job) {
    // An unnamed file is named here where nothing stands at its name, which spares the thread that
    // ends the entries the call; else it stays open for that thread to name.
    if (job.outcome == CZipExtraction::NotDecoded)
        return;
    if (job.stampLater) {
        job.stampLater = false;
        if (job.output.Stamp(job.time.seconds, job.time.nanoseconds, job.attributes, job.unixMode) ==
            CZipStream::StampFailed) {
            job.outcome = CZipExtraction::NotStamped;
            job.failure = CZipException::NotStamped;
        }
    }
    if (job.unnamed && job.LinkUnnamed())
        job.named = true;
    try {
        if (!job.unnamed || job.named)
            job.output.Close();
    } catch (...) {
        // The descriptor is gone either way; the data were written and checked.
    }
}

bool CZipEntryWriter::MakeOutput(CZipExtraction& job) {
    if (!job.createLater)
        return true;
    // Nothing is made once the run is interrupted, nor where the thread that ends entries must.
    if (ZipOs::InterruptionSignal() != 0 || job.createFailed || job.folder == nullptr)
        return false;
    if (!job.output.OpenUnnamedIn(job.folder->GetHandle(), job.path)) {
        job.createFailed = true;
        return false;
    }
    job.createLater = false;
    job.unnamed = true;
    return true;
}

void CZipEntryWriter::Decode(CZipExtraction& job, int archiveHandle) {
    if (!MakeOutput(job)) {
        job.outcome = CZipExtraction::NotDecoded;
        return;
    }
    if (job.written) {
        Name(job);
        return;
    }
    job.outcome = CZipExtraction::NotDecoded;
    job.writeFailed = false;
    job.failure = 0;
    bool written = false;
    try {
        written = WriteData(job, archiveHandle);
    } catch (const OutputRefused& refused) {
        job.failure = refused.code;
        // Emptied at once, it holds no room another entry may need.
        if (!job.output.IsClosed() && job.output.SetLength(0)) {
            job.writeFailed = true;
            return;
        }
    } catch (const CZipException& e) {
        // The data did not come out whole: the entry fails.
        job.failure = e.code;
    } catch (...) {
        job.failure = CZipException::InternalFault;
    }
    try {
        if (written) {
            job.stampLater = false;
            const CZipStream::StampResult stamp =
                job.output.Stamp(job.time.seconds, job.time.nanoseconds, job.attributes, job.unixMode);
            job.outcome = stamp == CZipStream::StampFailed ? CZipExtraction::NotStamped : CZipExtraction::Verified;
            if (job.outcome == CZipExtraction::NotStamped)
                job.failure = CZipException::NotStamped;
            Name(job);
            return;
        }
        job.output.Close();
    } catch (...) {
        // The descriptor is gone either way.
    }
}

void CZipEntryWriter::Retry(CZipExtraction& job, int archiveHandle) {
    if (!job.writeFailed || job.output.IsClosed())
        return;
    try {
        job.output.Seek(0, CZipStream::FromBegin);
    } catch (...) {
        return;
    }
    // The cipher has run over the data once: it starts again from its header.
    if (job.cipher != nullptr && !job.cipher->Start(job.cipherHeader.data(), job.password)) {
        job.writeFailed = false;
        return;
    }
    Decode(job, archiveHandle);
}

bool CZipEntryWriter::WriteData(CZipExtraction& job, int archiveHandle) {
    if (ZipOs::InterruptionSignal() != 0)
        return false;
    if (!job.held.IsEmpty()) {
        try {
            if (job.heldLength != 0)
                job.output.Write(job.held.GetBytes(), job.heldLength);
        } catch (const CZipException& e) {
            throw OutputRefused{e.code};
        }
        return true;
    }
    CZipFileRangeSource source(archiveHandle, job.dataStart);
    decoder.Begin(job.entry, job.cipher.get(), source);
    const unsigned char* bytes = nullptr;
    while (const std::uint32_t n = decoder.Next(bytes)) {
        if (ZipOs::InterruptionSignal() != 0)
            throw Interrupted{};
        try {
            job.output.Write(bytes, n);
        } catch (const CZipException& e) {
            throw OutputRefused{e.code};
        } catch (...) {
            throw OutputRefused{0};
        }
    }
    if (decoder.Finish() != 1) {
        job.failure = CZipException::DataTruncated;
        return false;
    }
    // Damage, as the one-thread path names it.
    if (job.dataDescriptor && !CheckDescriptor(job, archiveHandle)) {
        job.failure = CZipException::BadArchive;
        return false;
    }
    return true;
}

bool CZipEntryWriter::CheckDescriptor(const CZipExtraction& job, int archiveHandle) const {
    // The signature is optional: without it, the first four bytes are the CRC.
    const std::uint32_t size = job.zip64Descriptor ? zip64DescriptorSize : descriptorSize;
    unsigned char bytes[signatureSize + zip64DescriptorSize];
    const std::uint64_t at = job.dataStart + job.entry.dataSize;
    if (at > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    const std::int64_t read =
        ZipOs::ReadFileAt(archiveHandle, bytes, size + signatureSize, static_cast<std::int64_t>(at));
    if (read < static_cast<std::int64_t>(size))
        return false;
    const unsigned char* values = bytes;
    if (HasSignature(bytes, descriptorSignature)) {
        if (read < static_cast<std::int64_t>(size + signatureSize))
            return false;
        values += signatureSize;
    }
    return DescriptorMatches(values, job.zip64Descriptor, job.entry.crc32, job.compressedSize,
                             job.entry.uncompressedSize);
}
