#include "engine/ZipEntryDecoder.h"

#include "engine/ZipCipher.h"
#include "engine/ZipCrc.h"
#include "engine/ZipRecords.h"
#include "platform/ZipOs.h"

#include <algorithm>

#ifdef ROZBAL_LIBDEFLATE
#include <libdeflate.h>
#endif

using namespace ZipRecords;

namespace {

constexpr int rawDeflateWindowBits = -15;

} // namespace

CZipEntryDecoder::CZipEntryDecoder()
    : inputBlock(new unsigned char[bufferSize + CZipBuffer::cacheLine]),
      outputBlock(new unsigned char[bufferSize + CZipBuffer::cacheLine]),
      input(CZipBuffer::CacheLineStart(inputBlock.get())), output(CZipBuffer::CacheLineStart(outputBlock.get())) {
    streamReady = inflateInit2(&stream, rawDeflateWindowBits) == Z_OK;
#ifdef ROZBAL_LIBDEFLATE
    whole = libdeflate_alloc_decompressor();
#endif
}

CZipEntryDecoder::~CZipEntryDecoder() {
    if (streamReady)
        inflateEnd(&stream);
#ifdef ROZBAL_LIBDEFLATE
    if (whole != nullptr)
        libdeflate_free_decompressor(whole);
#endif
}

void CZipEntryDecoder::PrepareShared() {
    ZipCrc::Update(0, nullptr, 0);
    get_crc_table();
#ifdef ROZBAL_LIBDEFLATE
    // The decompressor picks its code for this processor at its first call: one empty final stored
    // block makes that call here, before any thread could race to it.
    static const unsigned char emptyStream[] = {0x01, 0x00, 0x00, 0xFF, 0xFF};
    if (libdeflate_decompressor* first = libdeflate_alloc_decompressor()) {
        unsigned char none = 0;
        std::size_t produced = 0;
        libdeflate_deflate_decompress(first, emptyStream, sizeof emptyStream, &none, 0, &produced);
        libdeflate_free_decompressor(first);
    }
#endif
}

void CZipEntryDecoder::Decode(CZipExtraction& job, int archiveHandle) {
    archive = archiveHandle;
    job.outcome = CZipExtraction::NotDecoded;
    job.writeFailed = false;
    try {
        if (DecodeData(job)) {
            const CZipStream::StampResult stamp =
                job.output.Stamp(job.time.seconds, job.time.nanoseconds, job.attributes, job.unixMode);
            job.output.Close();
            job.outcome = stamp == CZipStream::StampFailed ? CZipExtraction::NotStamped : CZipExtraction::Verified;
            return;
        }
    } catch (...) {
        // Only the output file throws. Emptied at once, it holds no room another entry may need.
        if (!job.output.IsClosed() && job.output.SetLength(0)) {
            job.writeFailed = true;
            return;
        }
    }
    try {
        job.output.Close();
    } catch (...) {
        // The descriptor is gone either way.
    }
}

void CZipEntryDecoder::Retry(CZipExtraction& job, int archiveHandle) {
    if (!job.writeFailed || job.output.IsClosed())
        return;
    try {
        job.output.Seek(0, CZipStream::FromBegin);
    } catch (...) {
        return;
    }
    Decode(job, archiveHandle);
}

bool CZipEntryDecoder::DecodeData(CZipExtraction& job) {
    std::uint64_t position = job.dataStart;
    std::uint64_t size = job.compressedSize;
    if (job.encrypted) {
        unsigned char header[encryptionHeaderSize];
        if (job.password.empty() || size < encryptionHeaderSize)
            return false;
        ZipCipher::InitKeys(keys, reinterpret_cast<const unsigned char*>(job.password.data()), job.password.size());
        if (!ReadData(position, header, encryptionHeaderSize, true) ||
            header[encryptionHeaderSize - 1] != job.encryptionCheckByte)
            return false;
        position += encryptionHeaderSize;
        size -= encryptionHeaderSize;
    }
    crc = 0;
    bool decoded;
    if (job.method == methodStored)
        decoded = size == job.uncompressedSize && CopyStored(job, position, size);
    else if (job.method != methodDeflated)
        decoded = false;
    else if (whole != nullptr && size <= bufferSize && job.uncompressedSize <= bufferSize)
        decoded = InflateWhole(job, position, size);
    else
        decoded = InflateStream(job, position, size);
    return decoded && crc == job.crc32 && (!job.dataDescriptor || CheckDescriptor(job));
}

bool CZipEntryDecoder::ReadData(std::uint64_t offset, unsigned char* bytes, std::uint32_t count, bool decrypt) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX) ||
        ZipOs::ReadFileAt(archive, bytes, count, static_cast<std::int64_t>(offset)) != count)
        return false;
    if (decrypt)
        ZipCipher::Decrypt(keys, bytes, count);
    return true;
}

void CZipEntryDecoder::Deliver(CZipExtraction& job, const unsigned char* bytes, std::uint32_t count) {
    crc = ZipCrc::Update(crc, bytes, count);
    job.output.Write(bytes, count);
}

bool CZipEntryDecoder::CopyStored(CZipExtraction& job, std::uint64_t position, std::uint64_t size) {
    while (size > 0) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(bufferSize, size));
        if (!ReadData(position, input, n, job.encrypted))
            return false;
        Deliver(job, input, n);
        position += n;
        size -= n;
    }
    return true;
}

bool CZipEntryDecoder::InflateWhole(CZipExtraction& job, std::uint64_t position, std::uint64_t size) {
#ifdef ROZBAL_LIBDEFLATE
    const auto in = static_cast<std::uint32_t>(size);
    const auto out = static_cast<std::uint32_t>(job.uncompressedSize);
    if (!ReadData(position, input, in, job.encrypted))
        return false;
    // A stream that holds more than declared runs out of room; one that holds less comes out short.
    std::size_t produced = 0;
    if (libdeflate_deflate_decompress(whole, input, in, output, out, &produced) != LIBDEFLATE_SUCCESS ||
        produced != out)
        return false;
    Deliver(job, output, out);
    return true;
#else
    return InflateStream(job, position, size);
#endif
}

bool CZipEntryDecoder::InflateStream(CZipExtraction& job, std::uint64_t position, std::uint64_t size) {
    if (!streamReady || inflateReset(&stream) != Z_OK)
        return false;
    std::uint64_t outputLeft = job.uncompressedSize;
    bool extraByteOffered = false;
    stream.avail_in = 0;
    // Once the declared size is delivered, the rest of the stream is read without room for output
    // until it ends: a stream that holds more than it declares fails with a buffer error.
    for (;;) {
        if (stream.avail_in == 0) {
            if (size > 0) {
                const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(bufferSize, size));
                if (!ReadData(position, input, n, job.encrypted))
                    return false;
                position += n;
                size -= n;
                stream.avail_in = n;
            } else {
                // Some streams want one byte past the data to finish; asking again means it is cut short.
                if (extraByteOffered)
                    return false;
                extraByteOffered = true;
                input[0] = 0;
                stream.avail_in = 1;
            }
            stream.next_in = input;
        }
        const auto room = static_cast<std::uint32_t>(std::min<std::uint64_t>(bufferSize, outputLeft));
        stream.next_out = output;
        stream.avail_out = room;
        const int result = inflate(&stream, Z_SYNC_FLUSH);
        const std::uint32_t produced = room - stream.avail_out;
        if (produced > 0) {
            Deliver(job, output, produced);
            outputLeft -= produced;
        }
        if (result == Z_STREAM_END)
            return outputLeft == 0;
        if (result != Z_OK)
            return false;
    }
}

bool CZipEntryDecoder::CheckDescriptor(const CZipExtraction& job) const {
    // The signature is optional: without it, the first four bytes are the CRC.
    const std::uint32_t size = job.zip64Descriptor ? zip64DescriptorSize : descriptorSize;
    unsigned char bytes[signatureSize + zip64DescriptorSize];
    const std::uint64_t at = job.dataStart + job.compressedSize;
    if (at > static_cast<std::uint64_t>(INT64_MAX))
        return false;
    const std::int64_t read = ZipOs::ReadFileAt(archive, bytes, size + signatureSize, static_cast<std::int64_t>(at));
    if (read < static_cast<std::int64_t>(size))
        return false;
    const unsigned char* values = bytes;
    if (HasSignature(bytes, descriptorSignature)) {
        if (read < static_cast<std::int64_t>(size + signatureSize))
            return false;
        values += signatureSize;
    }
    if (ReadLe32(values) != job.crc32)
        return false;
    if (job.zip64Descriptor)
        return ReadLe64(values + 4) == job.compressedSize && ReadLe64(values + 12) == job.uncompressedSize;
    return ReadLe32(values + 4) == job.compressedSize && ReadLe32(values + 8) == job.uncompressedSize;
}
