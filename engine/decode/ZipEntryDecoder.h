#pragma once

#include "engine/decode/ZipCipher.h"
#include "engine/decode/ZipCodec.h"
#include "engine/decode/ZipCodecTable.h"
#include "engine/decode/ZipDataSource.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The one way an entry's data are decoded, whoever reads them: the raw bytes from a source, through
// the entry's cipher (when it is encrypted) and the codec of its method, to the caller; then the
// checks every entry passes whatever decoded it: the declared size, nothing after the stream's end,
// the authentication code, the CRC-32. Failures are thrown as CZipException with the codes the
// archive object has always used: damaged data 504, more data than declared 506, data cut short 101,
// a wrong CRC 102, a wrong authentication code 117.
//
// One decoder serves one entry at a time and keeps its codecs from entry to entry. A decoder with
// buffers of its own (wholeBuffers) decodes an entry whose input and output both fit them in one
// call where a whole-buffer codec exists for its method.
class CZipEntryDecoder {
  public:
    struct Entry {
        std::uint16_t method = 0;
        std::uint16_t flags = 0;
        std::uint64_t dataSize = 0; // after the cipher's header, its trailer included
        std::uint64_t uncompressedSize = 0;
        std::uint32_t crc32 = 0;
    };

    CZipEntryDecoder(std::uint32_t bufferSize, bool wholeBuffers);
    CZipEntryDecoder(const CZipEntryDecoder&) = delete;
    CZipEntryDecoder& operator=(const CZipEntryDecoder&) = delete;
    ~CZipEntryDecoder();

    // Starts an entry whose source stands on the first byte after the cipher's header. cipher: the
    // entry's started cipher, or none; both must outlive the entry. fileName goes with every failure.
    void Begin(const Entry& entry, CZipCipher* cipher, CZipDataSource& source, const char* fileName = nullptr);
    // Delivers up to size bytes into out, fewer only where the stream ends; 0 once it has ended.
    // Once the declared size is delivered, the rest of the stream is read without room for output
    // until it ends: a stream holding more than it declares fails here.
    std::uint32_t Read(unsigned char* out, std::uint32_t size);
    // The same into the decoder's own buffer (wholeBuffers), handed out without a copy: bytes are
    // valid until the next call.
    std::uint32_t Next(const unsigned char*& bytes);
    // After the last bytes: 1 when every check passed, -1 when the stream ended short of its declared
    // size or was not read to its end (the CRC is not compared then). Throws for a failed check.
    int Finish();
    // Whether the stream has reached its end.
    bool Ended() const { return ended; }

    // The one-time set-up of the libraries the decoders share, so that threads started later find it
    // done.
    static void PrepareShared();

  private:
    static constexpr std::uint32_t maxTrailerSize = 16;

    [[noreturn]] void Fail(int code) const;
    // Reads the next piece of ciphertext into input, decrypted.
    void Refill();
    // Moves the input not yet used to the buffer's start and reads more behind it.
    void RefillBehind();
    // One codec call into out: advances out, lowers room.
    void Step(unsigned char*& out, std::size_t& room);
    std::uint32_t ReadWhole(const unsigned char*& bytes);
    // Decodes the whole input again with the method's streaming codec, from within the handler of
    // the one-call codec's failure (rethrown where there is no streaming codec): its bytes, or its
    // own failure.
    std::uint32_t Restream(std::uint32_t inputSize, const unsigned char*& bytes);
    // The codec of row, made once for this decoder.
    CZipCodec* CodecOf(const ZipCodecTable::Row* row);
    void Produced(const unsigned char* bytes, std::size_t count);

    std::uint32_t bufferSize;
    bool wholeBuffers;
    std::unique_ptr<unsigned char[]> inputBlock;
    std::unique_ptr<unsigned char[]> outputBlock;
    unsigned char* input = nullptr; // bufferSize bytes from a cache-line boundary
    unsigned char* output = nullptr;
    // The codecs made so far, with their rows in the table: kept from entry to entry.
    std::vector<std::pair<const ZipCodecTable::Row*, std::unique_ptr<CZipCodec>>> codecs;

    Entry entry;
    CZipCipher* cipher = nullptr;
    CZipDataSource* source = nullptr;
    CZipCodec* codec = nullptr;
    std::string fileName;
    std::uint64_t inputLeft = 0; // ciphertext not yet read from the source
    std::uint64_t outputLeft = 0;
    const unsigned char* next = nullptr; // input read and not yet used
    std::size_t nextLeft = 0;
    std::uint32_t crc = 0;
    bool ended = false;
    bool trailerRead = false;
    bool trailerMatched = false;
};
