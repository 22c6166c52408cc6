#include "engine/decode/ZipEntryDecoder.h"

#include "engine/ZipBuffer.h"
#include "engine/ZipCrc.h"
#include "engine/ZipException.h"
#include "engine/decode/ZipLibdeflateCodec.h"

#include <algorithm>
#include <zlib.h>

CZipEntryDecoder::CZipEntryDecoder(std::uint32_t bufferSize, bool wholeBuffers)
    : bufferSize(bufferSize), wholeBuffers(wholeBuffers),
      inputBlock(new unsigned char[bufferSize + CZipBuffer::cacheLine]),
      input(CZipBuffer::CacheLineStart(inputBlock.get())) {
    if (wholeBuffers) {
        outputBlock.reset(new unsigned char[bufferSize + CZipBuffer::cacheLine]);
        output = CZipBuffer::CacheLineStart(outputBlock.get());
    }
}

CZipEntryDecoder::~CZipEntryDecoder() = default;

void CZipEntryDecoder::PrepareShared() {
    ZipCrc::Update(0, nullptr, 0);
    get_crc_table();
#ifdef ROZBAL_LIBDEFLATE
    CZipLibdeflateCodec::Prepare();
#endif
}

void CZipEntryDecoder::Fail(int code) const { CZipException::Throw(code, fileName); }

void CZipEntryDecoder::Begin(const Entry& newEntry, CZipCipher* newCipher, CZipDataSource& newSource,
                             const char* newFileName) {
    entry = newEntry;
    cipher = newCipher;
    source = &newSource;
    fileName = newFileName != nullptr ? newFileName : "";
    codec = nullptr;
    const std::uint32_t trailer = cipher != nullptr ? cipher->TrailerSize() : 0;
    if (entry.dataSize < trailer)
        Fail(CZipException::BadArchive);
    inputLeft = entry.dataSize - trailer;
    outputLeft = entry.uncompressedSize;
    next = input;
    nextLeft = 0;
    crc = 0;
    ended = false;
    trailerRead = false;
    trailerMatched = false;

    const bool fitsWhole = wholeBuffers && inputLeft <= bufferSize && outputLeft <= bufferSize;
    const ZipCodecTable::Row* row = ZipCodecTable::Find(entry.method, fitsWhole);
    if (row == nullptr)
        Fail(CZipException::BadArchive);
    codec = CodecOf(row);
    // Stored bytes are the file's bytes: any other count is damage, which would otherwise leave bytes
    // unread or ask for bytes that are not there.
    if (codec->PassesInputThrough() && inputLeft != outputLeft)
        Fail(CZipException::BadArchive);
    CZipCodec::Entry start;
    start.compressedSize = inputLeft;
    start.uncompressedSize = outputLeft;
    start.flags = entry.flags;
    if (!codec->Start(start))
        Fail(CZipException::OutOfMemory);
}

CZipCodec* CZipEntryDecoder::CodecOf(const ZipCodecTable::Row* row) {
    for (auto& made : codecs)
        if (made.first == row)
            return made.second.get();
    codecs.emplace_back(row, row->make());
    return codecs.back().second.get();
}

void CZipEntryDecoder::Refill() {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(bufferSize, inputLeft));
    source->Read(input, n);
    if (cipher != nullptr)
        cipher->Decrypt(input, n);
    inputLeft -= n;
    next = input;
    nextLeft = n;
}

void CZipEntryDecoder::RefillBehind() {
    std::copy(next, next + nextLeft, input);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(bufferSize - nextLeft, inputLeft));
    source->Read(input + nextLeft, n);
    if (cipher != nullptr)
        cipher->Decrypt(input + nextLeft, n);
    inputLeft -= n;
    next = input;
    nextLeft += n;
}

void CZipEntryDecoder::Produced(const unsigned char* bytes, std::size_t count) {
    crc = ZipCrc::Update(crc, bytes, count);
    outputLeft -= count;
}

void CZipEntryDecoder::Step(unsigned char*& out, std::size_t& room) {
    if (nextLeft == 0 && inputLeft > 0)
        Refill();
    const bool lastInput = inputLeft == 0;
    unsigned char* const start = out;
    const std::size_t unused = nextLeft;
    const CZipCodec::Status status = codec->Decode(next, nextLeft, out, room, lastInput);
    Produced(start, static_cast<std::size_t>(out - start));
    switch (status) {
    case CZipCodec::Ended:
        ended = true;
        return;
    case CZipCodec::Going:
        if (out != start || nextLeft != unused)
            return;
        // Nothing used and nothing made. A codec may wait for more input behind what it holds back
        // (the end of a frame or of a marker): it gets it after those bytes.
        if (nextLeft > 0 && inputLeft > 0 && nextLeft < bufferSize) {
            RefillBehind();
            return;
        }
        // With no room left the stream holds more than it declares; with no input left it wants
        // input there is not.
        Fail(room == 0 || nextLeft > 0 ? CZipException::ZlibBufferError : CZipException::BadArchive);
    case CZipCodec::Truncated:
        Fail(CZipException::BadArchive);
    case CZipCodec::Overfull:
        Fail(CZipException::ZlibBufferError);
    case CZipCodec::TooBig:
        Fail(CZipException::OutOfMemory);
    case CZipCodec::Damaged:
        break;
    }
    Fail(CZipException::ZlibDataError);
}

std::uint32_t CZipEntryDecoder::Read(unsigned char* out, std::uint32_t size) {
    if (source == nullptr || ended)
        return 0;
    std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(size, outputLeft));
    unsigned char* const start = out;
    if (codec->PassesInputThrough()) {
        // Plain stored bytes need no work between the archive and the caller: they go straight into
        // the caller's buffer.
        while (room > 0) {
            if (nextLeft == 0 && cipher == nullptr) {
                const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(room, inputLeft));
                source->Read(out, n);
                inputLeft -= n;
                Produced(out, n);
                out += n;
                room -= n;
                continue;
            }
            if (nextLeft == 0)
                Refill();
            const std::size_t n = std::min(room, nextLeft);
            std::copy(next, next + n, out);
            Produced(out, n);
            next += n;
            nextLeft -= n;
            out += n;
            room -= n;
        }
        ended = outputLeft == 0;
        return static_cast<std::uint32_t>(out - start);
    }
    while (!ended && (room > 0 || outputLeft == 0))
        Step(out, room);
    return static_cast<std::uint32_t>(out - start);
}

std::uint32_t CZipEntryDecoder::ReadWhole(const unsigned char*& bytes) {
    const auto in = static_cast<std::uint32_t>(inputLeft);
    source->Read(input, in);
    if (cipher != nullptr)
        cipher->Decrypt(input, in);
    inputLeft = 0;
    next = input;
    nextLeft = in;
    unsigned char* out = output;
    std::size_t room = static_cast<std::size_t>(outputLeft);
    try {
        Step(out, room);
        if (!ended)
            Fail(CZipException::BadArchive);
    } catch (const CZipException&) {
        // Damaged data may fail the one-call codec otherwise than the streaming one, the reference
        // (it meets the declared size first, or checks another thing first): the streaming codec
        // decodes the entry again, so that its verdict, or its bytes, are what a single thread gets.
        return Restream(in, bytes);
    }
    bytes = output;
    return static_cast<std::uint32_t>(out - output);
}

std::uint32_t CZipEntryDecoder::Restream(std::uint32_t inputSize, const unsigned char*& bytes) {
    const ZipCodecTable::Row* row = ZipCodecTable::Find(entry.method, false);
    if (row == nullptr)
        throw;
    codec = CodecOf(row);
    CZipCodec::Entry start;
    start.compressedSize = inputSize;
    start.uncompressedSize = entry.uncompressedSize;
    start.flags = entry.flags;
    if (!codec->Start(start))
        throw;
    next = input;
    nextLeft = inputSize;
    outputLeft = entry.uncompressedSize;
    crc = 0;
    ended = false;
    std::uint32_t total = 0;
    while (const std::uint32_t n = Read(output + total, bufferSize - total))
        total += n;
    bytes = output;
    return total;
}

std::uint32_t CZipEntryDecoder::Next(const unsigned char*& bytes) {
    if (source == nullptr || ended || output == nullptr)
        return 0;
    if (codec->TakesWholeInput())
        return ReadWhole(bytes);
    if (codec->PassesInputThrough() && nextLeft == 0) {
        // Read, decrypted in place and handed out as they are.
        if (outputLeft == 0) {
            ended = true;
            return 0;
        }
        Refill();
        const auto n = static_cast<std::uint32_t>(nextLeft);
        Produced(next, n);
        bytes = next;
        nextLeft = 0;
        return n;
    }
    bytes = output;
    return Read(output, bufferSize);
}

int CZipEntryDecoder::Finish() {
    if (source == nullptr)
        return 0;
    CZipDataSource& from = *source;
    // An empty stored entry has ended whether or not it was read.
    if (codec->PassesInputThrough() && outputLeft == 0)
        ended = true;
    if (!ended || outputLeft != 0)
        return -1;
    if (nextLeft != 0 || inputLeft != 0) {
        // The stream's end must be the data's end, but where a method's peers take bytes after it;
        // an authentication code covers those too.
        if (!codec->AllowsTrailingBytes())
            Fail(CZipException::BadArchive);
        while (inputLeft > 0 && cipher != nullptr && cipher->TrailerSize() > 0)
            Refill();
        nextLeft = 0;
    }
    // Read once: a second look at a failed entry finds the same verdict.
    if (cipher != nullptr && cipher->TrailerSize() > 0 && !trailerRead) {
        unsigned char trailer[maxTrailerSize];
        if (cipher->TrailerSize() > maxTrailerSize)
            Fail(CZipException::InternalFault);
        from.Read(trailer, cipher->TrailerSize());
        trailerRead = true;
        trailerMatched = cipher->Finish(trailer);
    }
    if (trailerRead && !trailerMatched)
        Fail(CZipException::AuthenticationFailed);
    if ((cipher == nullptr || cipher->ChecksCrc()) && crc != entry.crc32)
        Fail(CZipException::CrcMismatch);
    return 1;
}
