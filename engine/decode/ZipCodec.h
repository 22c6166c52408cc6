#pragma once

#include <cstddef>
#include <cstdint>

// One compression method's decoder behind the interface every method shares: bytes in, bytes out,
// and whether the stream has ended. A codec knows nothing of files, ciphers, threads or checks: the
// entry decoder feeds it the entry's plain compressed bytes and checks what comes out.
class CZipCodec {
  public:
    enum Status {
        Going,     // wants more input or more room; what it could do with these is done
        Ended,     // the stream ended; input after its end is left unused
        Damaged,   // the data do not decode
        Truncated, // the input ended (lastInput) before the stream did
        Overfull,  // a whole-buffer codec found more output than the room it was given
        TooBig,    // the stream asks for more memory than a decoder may take (memoryLimit)
    };
    // What a codec learns of the entry before it starts.
    struct Entry {
        std::uint64_t compressedSize = 0;   // the codec's input: the entry's data without any cipher bytes
        std::uint64_t uncompressedSize = 0; // as declared; an LZMA stream without end marker ends there
        std::uint16_t flags = 0;            // the header's general purpose flags (LZMA: bit 1, end marker)
    };
    // The most a codec may allocate for one stream (a zstd window, an xz dictionary, ...).
    static constexpr std::uint64_t memoryLimit = 64u << 20;

    CZipCodec() = default;
    CZipCodec(const CZipCodec&) = delete;
    CZipCodec& operator=(const CZipCodec&) = delete;
    virtual ~CZipCodec() = default;

    // Starts a new stream; the codec is reused from entry to entry. False when it cannot start
    // (no memory).
    virtual bool Start(const Entry& entry) = 0;
    // Decodes from in (advanced past the bytes used, inLeft lowered) into out (advanced past the
    // bytes written, outLeft lowered). lastInput: no input follows these bytes. A call that
    // returns Going having used no input and written nothing cannot go on with what it was given.
    virtual Status Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out, std::size_t& outLeft,
                          bool lastInput) = 0;
    // A whole-buffer codec takes all of the entry's input in one call, with lastInput, and room for
    // all of its declared output.
    virtual bool TakesWholeInput() const { return false; }
    // Whether bytes may follow the stream's end inside the entry's data, unused. Only where peers
    // have always taken such entries: elsewhere the end of the stream must be the end of the data.
    virtual bool AllowsTrailingBytes() const { return false; }
    // The stored method: its output is its input, which the entry decoder then hands on without
    // copying it.
    virtual bool PassesInputThrough() const { return false; }
};
