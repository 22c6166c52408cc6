#ifdef ROZBAL_ZSTD

#include "engine/decode/ZipZstdCodec.h"

#include <zstd.h>
#include <zstd_errors.h>

namespace {

constexpr int windowLogLimit = 26; // a window of CZipCodec::memoryLimit
constexpr std::size_t magicSize = 4;
static_assert(std::uint64_t{1} << windowLogLimit == CZipCodec::memoryLimit, "the window is the memory limit");

bool StartsFrame(const unsigned char* bytes) {
    const std::uint32_t magic = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                                static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    return magic == ZSTD_MAGICNUMBER || (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

} // namespace

CZipZstdCodec::CZipZstdCodec() : context(ZSTD_createDCtx()) {
    if (context != nullptr && ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, windowLogLimit))) {
        ZSTD_freeDCtx(context);
        context = nullptr;
    }
}

CZipZstdCodec::~CZipZstdCodec() { ZSTD_freeDCtx(context); }

bool CZipZstdCodec::Start(const Entry& entry) {
    static_cast<void>(entry);
    phase = InFrame;
    // The session only: the window limit stays, and so do the buffers where the next window fits.
    return context != nullptr && !ZSTD_isError(ZSTD_DCtx_reset(context, ZSTD_reset_session_only));
}

CZipCodec::Status CZipZstdCodec::Decode(const unsigned char*& in, std::size_t& inLeft, unsigned char*& out,
                                        std::size_t& outLeft, bool lastInput) {
    for (;;) {
        if (phase == Finished)
            return Ended;
        if (phase == BetweenFrames) {
            if (inLeft < magicSize) {
                if (!lastInput)
                    return Going;
                phase = Finished;
                continue;
            }
            if (!StartsFrame(in)) {
                phase = Finished;
                continue;
            }
            phase = InFrame;
        }
        ZSTD_inBuffer input = {in, inLeft, 0};
        ZSTD_outBuffer output = {out, outLeft, 0};
        const std::size_t result = ZSTD_decompressStream(context, &output, &input);
        in += input.pos;
        inLeft -= input.pos;
        out += output.pos;
        outLeft -= output.pos;
        if (ZSTD_isError(result)) {
            const ZSTD_ErrorCode code = ZSTD_getErrorCode(result);
            const bool tooBig =
                code == ZSTD_error_frameParameter_windowTooLarge || code == ZSTD_error_memory_allocation;
            return tooBig ? TooBig : Damaged;
        }
        if (result != 0)
            return lastInput && inLeft == 0 && outLeft > 0 ? Truncated : Going;
        // A frame has ended and all of it is out; another may follow.
        phase = BetweenFrames;
        if (inLeft == 0 && !lastInput)
            return Going;
    }
}

std::unique_ptr<CZipCodec> MakeZstdCodec() { return std::make_unique<CZipZstdCodec>(); }

#endif
