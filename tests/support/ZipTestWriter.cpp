#include "ZipTestWriter.h"

#include <zlib.h>
#ifdef ROZBAL_TEST_AES
#include <openssl/evp.h>
#include <openssl/hmac.h>
#endif

#include <cstdio>
#include <filesystem>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace ziptest {
namespace {

constexpr int deflateLevel = 6;
constexpr int rawDeflateWindowBits = -15; // negative: no zlib header or trailer
constexpr int deflateMemLevel = 8;
constexpr uint8_t formatVersion = 30; // low byte of version made by
constexpr uint16_t versionStored = 10;
constexpr uint16_t versionDeflatedOrEncrypted = 20;

void AppendLE16(std::string& out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void AppendLE32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void AppendLE64(std::string& out, uint64_t value) {
    AppendLE32(out, static_cast<uint32_t>(value));
    AppendLE32(out, static_cast<uint32_t>(value >> 32));
}

constexpr uint32_t allOnes32 = 0xFFFFFFFF;
constexpr uint16_t allOnes16 = 0xFFFF;
constexpr uint16_t versionZip64 = 45;

uint16_t Length16(const std::string& bytes, const char* what) {
    if (bytes.size() > 0xFFFF)
        throw std::invalid_argument(std::string(what) + " longer than 65535 bytes");
    return static_cast<uint16_t>(bytes.size());
}

uint32_t Size32(size_t size) {
    if (size > 0xFFFFFFFFu)
        throw std::invalid_argument("entry larger than 4 GiB");
    return static_cast<uint32_t>(size);
}

// One raw-deflate stream reused for every entry of a build. Small inputs are remembered: big fixtures
// repeat the same few contents thousands of times.
class Deflater {
  public:
    Deflater() {
        if (deflateInit2(&stream, deflateLevel, Z_DEFLATED, rawDeflateWindowBits, deflateMemLevel,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("deflateInit2 failed");
    }
    ~Deflater() { deflateEnd(&stream); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    std::string Compress(std::string_view input) {
        constexpr size_t largestRemembered = 4096;
        if (input.size() > largestRemembered)
            return Run(input);
        auto found = remembered.find(std::string(input));
        if (found == remembered.end())
            found = remembered.emplace(std::string(input), Run(input)).first;
        return found->second;
    }

  private:
    std::string Run(std::string_view input) {
        deflateReset(&stream);
        std::string output(deflateBound(&stream, static_cast<uLong>(input.size())), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
        stream.avail_in = static_cast<uInt>(input.size());
        stream.next_out = reinterpret_cast<Bytef*>(output.data());
        stream.avail_out = static_cast<uInt>(output.size());
        if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
            throw std::runtime_error("deflate did not finish");
        output.resize(stream.total_out);
        return output;
    }

    z_stream stream{};
    std::unordered_map<std::string, std::string> remembered;
};

// The traditional PKWARE stream cipher, encrypting side.
class TraditionalCipher {
  public:
    explicit TraditionalCipher(std::string_view password) {
        for (char c : password)
            UpdateKeys(static_cast<uint8_t>(c));
    }

    char Encrypt(char plain) {
        const uint8_t p = static_cast<uint8_t>(plain);
        const uint8_t c = static_cast<uint8_t>(p ^ KeyStreamByte());
        UpdateKeys(p);
        return static_cast<char>(c);
    }

  private:
    static uint32_t CrcStep(uint32_t value, uint8_t b) {
        return (value >> 8) ^ static_cast<uint32_t>(get_crc_table()[(value ^ b) & 0xFF]);
    }
    void UpdateKeys(uint8_t b) {
        key0 = CrcStep(key0, b);
        key1 = (key1 + (key0 & 0xFF)) * 134775813u + 1;
        key2 = CrcStep(key2, static_cast<uint8_t>(key1 >> 24));
    }
    uint8_t KeyStreamByte() const {
        const uint32_t t = (key2 & 0xFFFF) | 2;
        return static_cast<uint8_t>(((t * (t ^ 1)) >> 8) & 0xFF);
    }

    uint32_t key0 = 0x12345678;
    uint32_t key1 = 0x23456789;
    uint32_t key2 = 0x34567890;
};

// Lays bytes out over volumes of a fixed size (0: one unlimited volume) and says where each piece landed.
class VolumeWriter {
  public:
    enum class Piece {
        Data,      // may be cut where a volume ends
        Header,    // kept whole unless headers may straddle
        EndRecord, // always kept whole
    };

    VolumeWriter(uint64_t size, bool mayStraddle) : volumeSize(size), headersMayStraddle(mayStraddle), volumes(1) {}

    // Where a piece of `size` bytes put next would start.
    Place Next(Piece piece, size_t size) const {
        const uint64_t used = volumes.back().size();
        const bool startsNextVolume = KeepWhole(piece) ? used > 0 && used + size > volumeSize : used >= volumeSize;
        if (volumeSize != 0 && size > 0 && startsNextVolume)
            return Place{Current() + 1, 0};
        return Place{Current(), used};
    }

    Place Put(Piece piece, std::string_view bytes) {
        const Place place = Next(piece, bytes.size());
        if (place.volume != Current())
            volumes.emplace_back();
        if (volumeSize == 0 || KeepWhole(piece)) {
            volumes.back().append(bytes);
            return place;
        }
        while (!bytes.empty()) {
            if (volumes.back().size() >= volumeSize)
                volumes.emplace_back();
            const size_t room = static_cast<size_t>(volumeSize - volumes.back().size());
            const size_t part = bytes.size() < room ? bytes.size() : room;
            volumes.back().append(bytes.substr(0, part));
            bytes.remove_prefix(part);
        }
        return place;
    }

    uint32_t Current() const { return static_cast<uint32_t>(volumes.size() - 1); }

    void StartVolume() { volumes.emplace_back(); }

    std::vector<std::string> Take() { return std::move(volumes); }

  private:
    bool KeepWhole(Piece piece) const {
        return piece == Piece::EndRecord || (piece == Piece::Header && !headersMayStraddle);
    }

    uint64_t volumeSize;
    bool headersMayStraddle;
    std::vector<std::string> volumes;
};

// Everything about one entry that both headers and the descriptor share.
struct EntryBytes {
    std::string data;  // bytes written as the entry's data
    std::string extra; // the AES block, before the caller's extra fields
    uint16_t method = 0;
    uint16_t flags = 0;
    uint16_t versionNeeded = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
};

EntryBytes Prepare(const Entry& entry, Deflater& deflater) {
    EntryBytes w;
    if (entry.aes && !entry.password.empty())
        throw std::invalid_argument("an entry with both AES and traditional encryption");
    const bool encrypted = !entry.password.empty() || entry.aes;
    w.crc = entry.aes && entry.aes->vendorVersion == aesVersion2 ? 0 : Crc32(entry.data);
    w.uncompressedSize = Size32(entry.data.size());
    w.method = entry.aes ? methodAes : entry.method;
    w.flags = static_cast<uint16_t>((encrypted ? flagEncrypted : 0) | (entry.dataDescriptor ? flagDataDescriptor : 0) |
                                    entry.extraFlags);
    w.versionNeeded = entry.aes                                    ? versionAes
                      : entry.zip64                                ? versionZip64
                      : entry.method == methodStored && !encrypted ? versionStored
                                                                   : versionDeflatedOrEncrypted;
    if (entry.aes)
        w.extra = AesExtraBlock(*entry.aes, entry.method);

    if (entry.rawData)
        w.data = *entry.rawData;
    else if (entry.method == methodDeflated)
        w.data = deflater.Compress(entry.data);
    else
        w.data = entry.data;

    if (entry.aes && !(entry.rawData && entry.rawDataIsFinal)) {
        w.data = EncryptAes(*entry.aes, entry.name, w.data);
    } else if (encrypted && !(entry.rawData && entry.rawDataIsFinal)) {
        const uint8_t check =
            entry.checkByte.value_or(static_cast<uint8_t>(entry.dataDescriptor ? entry.dosTime >> 8 : w.crc >> 24));
        w.data = EncryptTraditional(entry.password, EncryptionHeader(entry.name, check) + w.data);
    }
    w.compressedSize = Size32(w.data.size());
    return w;
}

std::string LocalHeader(const Entry& entry, const EntryBytes& w) {
    const LocalOverrides& o = entry.local;
    const std::string& name = entry.localName ? *entry.localName : entry.name;
    const bool zeroed = entry.dataDescriptor; // the real values follow the data
    // Sizes not yet known (descriptor) are written as zeros in the block, as streaming writers do.
    const std::string extra =
        (entry.zip64 ? Zip64Block({zeroed ? 0 : w.uncompressedSize, zeroed ? 0 : w.compressedSize}) : "") + w.extra +
        entry.localExtra;
    const uint32_t compressed = entry.zip64 ? allOnes32 : zeroed ? 0 : w.compressedSize;
    const uint32_t uncompressed = entry.zip64 ? allOnes32 : zeroed ? 0 : w.uncompressedSize;
    std::string out;
    out.reserve(localHeaderSize + name.size() + extra.size());
    AppendLE32(out, o.signature.value_or(localHeaderSignature));
    AppendLE16(out, o.versionNeeded.value_or(w.versionNeeded));
    AppendLE16(out, o.flags.value_or(w.flags));
    AppendLE16(out, o.method.value_or(w.method));
    AppendLE16(out, o.time.value_or(entry.dosTime));
    AppendLE16(out, o.date.value_or(entry.dosDate));
    AppendLE32(out, o.crc.value_or(zeroed ? 0 : w.crc));
    AppendLE32(out, o.compressedSize.value_or(compressed));
    AppendLE32(out, o.uncompressedSize.value_or(uncompressed));
    AppendLE16(out, o.nameLength.value_or(Length16(name, "local name")));
    AppendLE16(out, o.extraLength.value_or(Length16(extra, "local extra field")));
    out += name;
    out += extra;
    return out;
}

std::string Descriptor(const Entry& entry, const EntryBytes& w) {
    const DescriptorOverrides& o = entry.descriptor;
    std::string out;
    if (entry.descriptorSignature)
        AppendLE32(out, descriptorSignature);
    AppendLE32(out, o.crc.value_or(w.crc));
    const uint64_t compressed = o.compressedSize.value_or(w.compressedSize);
    const uint64_t uncompressed = o.uncompressedSize.value_or(w.uncompressedSize);
    if (entry.zip64) {
        AppendLE64(out, compressed);
        AppendLE64(out, uncompressed);
    } else {
        AppendLE32(out, static_cast<uint32_t>(compressed));
        AppendLE32(out, static_cast<uint32_t>(uncompressed));
    }
    return out;
}

std::string CentralHeader(const Entry& entry, const EntryBytes& w, uint16_t diskStart, uint64_t localOffset) {
    const CentralOverrides& o = entry.central;
    const std::string extra = (entry.zip64 ? Zip64Block({w.uncompressedSize, w.compressedSize, localOffset}) : "") +
                              w.extra + entry.centralExtra;
    if (!entry.zip64 && localOffset > allOnes32)
        throw std::invalid_argument("local header past 4 GiB without ZIP64");
    std::string out;
    out.reserve(centralHeaderSize + entry.name.size() + extra.size() + entry.comment.size());
    AppendLE32(out, o.signature.value_or(centralHeaderSignature));
    AppendLE16(out, o.versionMadeBy.value_or(static_cast<uint16_t>(entry.hostSystem << 8 | formatVersion)));
    AppendLE16(out, o.versionNeeded.value_or(w.versionNeeded));
    AppendLE16(out, o.flags.value_or(w.flags));
    AppendLE16(out, o.method.value_or(w.method));
    AppendLE16(out, o.time.value_or(entry.dosTime));
    AppendLE16(out, o.date.value_or(entry.dosDate));
    AppendLE32(out, o.crc.value_or(w.crc));
    AppendLE32(out, o.compressedSize.value_or(entry.zip64 ? allOnes32 : w.compressedSize));
    AppendLE32(out, o.uncompressedSize.value_or(entry.zip64 ? allOnes32 : w.uncompressedSize));
    AppendLE16(out, o.nameLength.value_or(Length16(entry.name, "name")));
    AppendLE16(out, o.extraLength.value_or(Length16(extra, "central extra field")));
    AppendLE16(out, o.commentLength.value_or(Length16(entry.comment, "entry comment")));
    AppendLE16(out, o.diskStart.value_or(diskStart));
    AppendLE16(out, o.internalAttr.value_or(0));
    AppendLE32(out, entry.externalAttr);
    AppendLE32(out, o.localHeaderOffset.value_or(entry.zip64 ? allOnes32 : static_cast<uint32_t>(localOffset)));
    out += entry.name;
    out += extra;
    out += entry.comment;
    return out;
}

uint16_t Disk(uint32_t volume) {
    if (volume > 0xFFFF)
        throw std::invalid_argument("more than 65536 volumes");
    return static_cast<uint16_t>(volume);
}

// Builds single and split archives alike; a single archive is one volume of unlimited size.
std::vector<std::string> Build(const std::vector<Entry>& entries, const Options& options, uint64_t volumeSize,
                               bool headersMayStraddle, bool spanningMarker, Layout* layout) {
    using Piece = VolumeWriter::Piece;
    VolumeWriter out(volumeSize, headersMayStraddle);
    Layout places;
    out.Put(Piece::Data, options.stub);
    if (spanningMarker) {
        std::string marker;
        AppendLE32(marker, descriptorSignature);
        out.Put(Piece::Header, marker);
    }
    // Offsets stored in the records: archive-relative in a single file unless asked otherwise; a split
    // volume always counts from its own start.
    const uint64_t uncounted = volumeSize == 0 && !options.offsetsRelativeToFile ? options.stub.size() : 0;
    auto stored = [uncounted](const Place& place) { return place.offset - uncounted; };
    auto stored32 = [&stored](const Place& place) {
        if (stored(place) > allOnes32)
            throw std::invalid_argument("archive larger than 4 GiB");
        return static_cast<uint32_t>(stored(place));
    };

    Deflater deflater;
    std::vector<EntryBytes> written;
    written.reserve(entries.size());
    for (const Entry& entry : entries) {
        written.push_back(Prepare(entry, deflater));
        const EntryBytes& w = written.back();
        places.localHeader.push_back(out.Put(Piece::Header, LocalHeader(entry, w)));
        places.data.push_back(out.Put(Piece::Data, w.data));
        const std::string descriptor = entry.dataDescriptor ? Descriptor(entry, w) : std::string();
        places.descriptor.push_back(out.Put(Piece::Header, descriptor));
    }

    std::vector<size_t> order = options.centralOrder;
    if (order.empty()) {
        for (size_t i = 0; i < entries.size(); ++i)
            order.push_back(i);
    }
    uint64_t cdSize = 0;
    for (size_t index : order) {
        const Entry& entry = entries.at(index);
        const Place local = places.localHeader[index];
        const std::string header = CentralHeader(entry, written[index], Disk(local.volume), stored(local));
        places.centralHeader.push_back(out.Put(Piece::Header, header));
        cdSize += header.size();
    }
    places.centralDir = places.centralHeader.empty() ? out.Next(Piece::Header, 0) : places.centralHeader.front();

    const EndRecordOverrides& o = options.end;
    if (order.size() > 0xFFFF && !options.zip64EndRecord)
        throw std::invalid_argument("more than 65535 central headers without ZIP64");
    const size_t endSize = endRecordSize + options.archiveComment.size();
    const size_t zip64Size =
        options.zip64EndRecord ? zip64EndRecordSize + options.zip64Extensible.size() + zip64LocatorSize : 0;
    // The ZIP64 records stay on the volume of the end record, as Info-ZIP writes them, unless asked.
    const bool apart = options.zip64EndRecord && options.zip64LocatorApart && volumeSize != 0;
    const size_t recordSize = zip64Size - zip64LocatorSize;
    const Place tailPlace = out.Next(Piece::EndRecord, apart ? recordSize : zip64Size + endSize);
    const Place endPlace =
        apart ? Place{tailPlace.volume + 1, zip64LocatorSize} : Place{tailPlace.volume, tailPlace.offset + zip64Size};
    uint64_t entriesOnLastDisk = 0;
    for (const Place& place : places.centralHeader)
        entriesOnLastDisk += place.volume == endPlace.volume;
    const uint64_t entriesOnDisk = volumeSize == 0 ? order.size() : entriesOnLastDisk;
    const bool marks = options.zip64EndRecord && options.zip64MarksInEndRecord;
    // A classic field: the value, or all ones where ZIP64 carries it or the value does not fit.
    auto field16 = [marks](uint64_t value) {
        return marks || value > allOnes16 ? allOnes16 : static_cast<uint16_t>(value);
    };
    auto field32 = [marks](uint64_t value) {
        return marks || value > allOnes32 ? allOnes32 : static_cast<uint32_t>(value);
    };
    std::string tail;
    if (options.zip64EndRecord) {
        places.zip64EndRecord = tailPlace;
        places.zip64Locator = Place{endPlace.volume, endPlace.offset - zip64LocatorSize};
        AppendLE32(tail, zip64EndRecordSignature);
        AppendLE64(tail, zip64EndRecordSize - 12 + options.zip64Extensible.size());
        AppendLE16(tail, static_cast<uint16_t>(hostUnix << 8 | formatVersion));
        AppendLE16(tail, versionZip64);
        AppendLE32(tail, endPlace.volume);
        AppendLE32(tail, places.centralDir.volume);
        AppendLE64(tail, entriesOnDisk);
        AppendLE64(tail, order.size());
        AppendLE64(tail, cdSize);
        AppendLE64(tail, stored(places.centralDir));
        tail += options.zip64Extensible;
        if (apart) {
            out.Put(Piece::EndRecord, tail);
            out.StartVolume();
            tail.clear();
        }
        AppendLE32(tail, zip64LocatorSignature);
        AppendLE32(tail, places.zip64EndRecord.volume);
        AppendLE64(tail, stored(places.zip64EndRecord));
        AppendLE32(tail, endPlace.volume + 1);
    }
    std::string end;
    AppendLE32(end, endRecordSignature);
    AppendLE16(end, o.thisDisk.value_or(options.zip64EndRecord ? field16(endPlace.volume) : Disk(endPlace.volume)));
    AppendLE16(end, o.cdStartDisk.value_or(options.zip64EndRecord ? field16(places.centralDir.volume)
                                                                  : Disk(places.centralDir.volume)));
    AppendLE16(end, o.entriesOnDisk.value_or(field16(entriesOnDisk)));
    AppendLE16(end, o.totalEntries.value_or(field16(order.size())));
    AppendLE32(end, o.cdSize.value_or(options.zip64EndRecord ? field32(cdSize) : Size32(cdSize)));
    AppendLE32(end, o.cdOffset.value_or(options.zip64EndRecord ? field32(stored(places.centralDir))
                                                               : stored32(places.centralDir)));
    AppendLE16(end, o.commentLength.value_or(Length16(options.archiveComment, "archive comment")));
    end += options.archiveComment;
    places.endRecord = endPlace;
    out.Put(Piece::EndRecord, tail + end);

    if (layout)
        *layout = std::move(places);
    return out.Take();
}

} // namespace

Entry File(std::string name, std::string data, uint16_t method) {
    Entry entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    entry.method = method;
    return entry;
}

Entry Dir(std::string name) {
    if (name.empty() || name.back() != '/')
        name += '/';
    Entry entry = File(std::move(name), "", methodStored);
    entry.externalAttr = UnixAttributes(040755) | dosDirectory;
    return entry;
}

Entry DosFile(std::string name, std::string data, uint32_t dosAttributes, uint16_t method) {
    Entry entry = File(std::move(name), std::move(data), method);
    entry.hostSystem = hostDos;
    entry.externalAttr = dosAttributes;
    return entry;
}

Entry DosDir(std::string name) {
    if (name.empty() || (name.back() != '/' && name.back() != '\\'))
        name += '/';
    return DosFile(std::move(name), "", dosDirectory, methodStored);
}

Entry Packed(std::string name, std::string data, uint16_t method) {
    Entry entry = File(std::move(name), std::move(data), method);
    if (method == methodBzip2 || method == methodLzma || method == methodZstd || method == methodXz) {
        entry.rawData = Compress(entry.data, method);
        if (method == methodLzma)
            entry.extraFlags |= flagLzmaEndMarker;
    }
    return entry;
}

Entry AesFile(std::string name, std::string data, std::string password, uint8_t strength, uint16_t vendorVersion,
              uint16_t method) {
    Entry entry = Packed(std::move(name), std::move(data), method);
    Aes aes;
    aes.password = std::move(password);
    aes.strength = strength;
    aes.vendorVersion = vendorVersion;
    entry.aes = aes;
    return entry;
}

std::string BuildArchive(const std::vector<Entry>& entries, const Options& options, Layout* layout) {
    return Build(entries, options, 0, false, false, layout).front();
}

std::vector<std::string> BuildSplitArchive(const std::vector<Entry>& entries, uint64_t volumeSize,
                                           const SplitOptions& options, Layout* layout) {
    if (volumeSize == 0)
        throw std::invalid_argument("volume size 0");
    return Build(entries, options, volumeSize, options.headersMayStraddle, options.spanningMarker, layout);
}

std::string VolumePath(const std::string& lastVolumePath, size_t index, size_t count) {
    if (index + 1 == count)
        return lastVolumePath;
    const size_t slash = lastVolumePath.find_last_of('/');
    const size_t dot = lastVolumePath.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    char extension[32];
    std::snprintf(extension, sizeof extension, index + 1 < 100 ? "z%02zu" : "z%03zu", index + 1);
    return (hasExtension ? lastVolumePath.substr(0, dot) : lastVolumePath) + "." + extension;
}

std::string Zip64Block(const std::vector<uint64_t>& values) {
    std::string block;
    AppendLE16(block, zip64Tag);
    AppendLE16(block, static_cast<uint16_t>(values.size() * 8));
    for (uint64_t value : values)
        AppendLE64(block, value);
    return block;
}

std::string UnicodePathBlock(const std::string& headerName, const std::string& name, uint8_t version,
                             uint32_t crcChange) {
    constexpr uint16_t unicodePathTag = 0x7075;
    std::string block;
    AppendLE16(block, unicodePathTag);
    AppendLE16(block, static_cast<uint16_t>(5 + name.size()));
    block += static_cast<char>(version);
    AppendLE32(block, Crc32(headerName) ^ crcChange);
    return block + name;
}

std::vector<std::string> WriteVolumes(const std::string& lastVolumePath, const std::vector<std::string>& volumes) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < volumes.size(); ++i)
        paths.push_back(WriteFile(VolumePath(lastVolumePath, i, volumes.size()), volumes[i]));
    return paths;
}

void PutLE16(std::string& bytes, uint64_t offset, uint16_t value) {
    if (offset > bytes.size() || bytes.size() - offset < 2)
        throw std::out_of_range("PutLE16 past the end");
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
}

void PutLE64(std::string& bytes, uint64_t offset, uint64_t value) {
    PutLE32(bytes, offset, static_cast<uint32_t>(value));
    PutLE32(bytes, offset + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t GetLE64(std::string_view bytes, uint64_t offset) {
    return GetLE32(bytes, offset) | static_cast<uint64_t>(GetLE32(bytes, offset + 4)) << 32;
}

void PutLE32(std::string& bytes, uint64_t offset, uint32_t value) {
    if (offset > bytes.size() || bytes.size() - offset < 4)
        throw std::out_of_range("PutLE32 past the end");
    for (int i = 0; i < 4; ++i)
        bytes[offset + static_cast<uint64_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint16_t GetLE16(std::string_view bytes, uint64_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2)
        throw std::out_of_range("GetLE16 past the end");
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) | static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

uint32_t GetLE32(std::string_view bytes, uint64_t offset) {
    return GetLE16(bytes, offset) | static_cast<uint32_t>(GetLE16(bytes, offset + 2)) << 16;
}

std::time_t LocalTime(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    std::tm local{};
    local.tm_year = static_cast<int>(year) - 1900;
    local.tm_mon = static_cast<int>(month) - 1;
    local.tm_mday = static_cast<int>(day);
    local.tm_hour = static_cast<int>(hour);
    local.tm_min = static_cast<int>(minute);
    local.tm_sec = static_cast<int>(second);
    local.tm_isdst = -1;
    return std::mktime(&local);
}

uint32_t Crc32(std::string_view bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most a uInt per call.
    while (!bytes.empty()) {
        const size_t part = bytes.size() < 0x40000000u ? bytes.size() : 0x40000000u;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(part));
        bytes.remove_prefix(part);
    }
    return static_cast<uint32_t>(crc);
}

std::string Deflate(std::string_view bytes) {
    Deflater deflater;
    return deflater.Compress(bytes);
}

std::string EncryptTraditional(std::string_view password, std::string_view plain) {
    TraditionalCipher cipher(password);
    std::string out;
    out.reserve(plain.size());
    for (char c : plain)
        out.push_back(cipher.Encrypt(c));
    return out;
}

std::string EncryptionHeader(std::string_view seed, uint8_t checkByte) {
    // xorshift32 seeded from the CRC of the seed: fixed bytes per name, different across names.
    uint32_t state = Crc32(seed) | 1;
    std::string header;
    while (header.size() < encryptionHeaderSize - 1) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        header.push_back(static_cast<char>(state >> 24));
    }
    header.push_back(static_cast<char>(checkByte));
    return header;
}

bool HaveTool(const std::string& name) {
#ifdef _WIN32
    (void)name;
    return false;
#else
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
#endif
}

namespace {

constexpr size_t lzmaPropertiesSize = 5;       // lc/lp/pb byte, dictionary size (LE)
constexpr size_t lzmaAloneHeaderSize = 13;     // properties, then the uncompressed size in 8 bytes
const std::string lzmaZipVersion = "\x09\x14"; // LZMA SDK 9.20

// Runs `command` with `input` on its standard input and returns its standard output, both through
// temporary files (no pipe to deadlock on, whatever the sizes).
std::string ToolOutput(const std::string& command, std::string_view input) {
#ifdef _WIN32
    (void)input;
    throw std::runtime_error("the reference tools are not run on Windows: " + command);
#else
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                       ("ziptest-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    const std::string in = base.string() + ".in", out = base.string() + ".out";
    WriteFile(in, input);
    const int status = std::system((command + " < '" + in + "' > '" + out + "' 2>/dev/null").c_str());
    std::string output;
    bool read = true;
    try {
        output = ReadFile(out);
    } catch (const std::runtime_error&) {
        read = false;
    }
    std::remove(in.c_str());
    std::remove(out.c_str());
    if (status != 0 || !read)
        throw std::runtime_error("`" + command + "` failed (status " + std::to_string(status) + ")");
    return output;
#endif
}

#ifdef ROZBAL_TEST_AES
// Bytes that look random, the same for the same seed.
std::string SeededBytes(std::string_view seed, size_t size) {
    uint32_t state = Crc32(seed) | 1;
    std::string bytes;
    while (bytes.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes.push_back(static_cast<char>(state >> 24));
    }
    return bytes;
}

void Invert(std::string& bytes, size_t at, const char* what) {
    if (at >= bytes.size())
        throw std::invalid_argument(std::string(what) + " byte out of range");
    bytes[at] = static_cast<char>(~bytes[at]);
}

const EVP_CIPHER* AesEcb(uint8_t strength) {
    switch (strength) {
    case aes128:
        return EVP_aes_128_ecb();
    case aes192:
        return EVP_aes_192_ecb();
    default:
        return EVP_aes_256_ecb();
    }
}

const unsigned char* Bytes(std::string_view bytes) { return reinterpret_cast<const unsigned char*>(bytes.data()); }

// AES in CTR mode as WinZip applies it: the 16-byte counter block is little-endian and starts at 1, so the
// library's big-endian CTR mode does not fit; the key stream is the ECB encryption of each counter block.
std::string AesCtr(uint8_t strength, std::string_view key, std::string_view plain) {
    constexpr size_t block = 16;
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!context || EVP_EncryptInit_ex(context.get(), AesEcb(strength), nullptr, Bytes(key), nullptr) != 1)
        throw std::runtime_error("AES key set-up failed");
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    std::string out(plain);
    unsigned char counter[block] = {};
    unsigned char stream[block];
    for (size_t at = 0; at < out.size(); at += block) {
        for (unsigned char& byte : counter)
            if (++byte != 0)
                break;
        int length = 0;
        if (EVP_EncryptUpdate(context.get(), stream, &length, counter, block) != 1 || length != block)
            throw std::runtime_error("AES block failed");
        for (size_t i = 0; i < block && at + i < out.size(); ++i)
            out[at + i] = static_cast<char>(out[at + i] ^ stream[i]);
    }
    return out;
}
#endif

} // namespace

size_t AesKeySize(uint8_t strength) {
    switch (strength) {
    case aes128:
        return 16;
    case aes192:
        return 24;
    case aes256:
        return 32;
    default:
        throw std::invalid_argument("AES strength " + std::to_string(strength));
    }
}

std::string EncryptAes(const Aes& aes, std::string_view saltSeed, std::string_view plain) {
#ifdef ROZBAL_TEST_AES
    const size_t keySize = AesKeySize(aes.strength);
    const std::string salt = aes.salt.empty() ? SeededBytes(saltSeed, AesSaltSize(aes.strength)) : aes.salt;
    std::string keys(keySize * 2 + aesVerifierSize, '\0'); // AES key, HMAC key, verifier
    if (PKCS5_PBKDF2_HMAC(aes.password.data(), static_cast<int>(aes.password.size()), Bytes(salt),
                          static_cast<int>(salt.size()), aesIterations, EVP_sha1(), static_cast<int>(keys.size()),
                          reinterpret_cast<unsigned char*>(keys.data())) != 1)
        throw std::runtime_error("PBKDF2 failed");
    std::string verifier = keys.substr(keySize * 2);
    if (aes.wrongVerifier) {
        Invert(verifier, 0, "verifier");
        Invert(verifier, 1, "verifier");
    }
    std::string cipher = AesCtr(aes.strength, keys.substr(0, keySize), plain);
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int macSize = 0;
    if (!HMAC(EVP_sha1(), keys.data() + keySize, static_cast<int>(keySize), Bytes(cipher), cipher.size(), mac,
              &macSize))
        throw std::runtime_error("HMAC failed");
    std::string code(reinterpret_cast<const char*>(mac), aesCodeSize);
    if (aes.flipCiphertextByte)
        Invert(cipher, *aes.flipCiphertextByte, "ciphertext");
    if (aes.flipCodeByte)
        Invert(code, *aes.flipCodeByte, "authentication code");
    return salt + verifier + cipher + code;
#else
    (void)aes, (void)saltSeed, (void)plain;
    throw std::runtime_error("AES entries need the test writer built with libcrypto");
#endif
}

std::string AesExtraBlock(const Aes& aes, uint16_t realMethod) {
    const AesExtraOverrides& o = aes.extra;
    if (o.omit)
        return "";
    std::string data;
    AppendLE16(data, o.vendorVersion.value_or(aes.vendorVersion));
    data += "AE";
    data.push_back(static_cast<char>(o.strength.value_or(aes.strength)));
    AppendLE16(data, o.method.value_or(realMethod));
    data.resize(o.dataSize.value_or(aesExtraDataSize), '\0');
    std::string block;
    AppendLE16(block, aesExtraTag);
    AppendLE16(block, static_cast<uint16_t>(data.size()));
    return block + data;
}

std::string Bzip2(std::string_view bytes) { return ToolOutput("bzip2 -9 -c", bytes); }

std::string Xz(std::string_view bytes, const std::string& options) { return ToolOutput("xz -c -T1 " + options, bytes); }

std::string Zstd(std::string_view bytes) { return ToolOutput("zstd -3 -q -c", bytes); }

std::string Lzma(std::string_view bytes) {
    const std::string alone = ToolOutput("xz --format=lzma -c", bytes);
    if (alone.size() < lzmaAloneHeaderSize)
        throw std::runtime_error("xz --format=lzma wrote no header");
    std::string out = lzmaZipVersion;
    AppendLE16(out, static_cast<uint16_t>(lzmaPropertiesSize));
    return out + alone.substr(0, lzmaPropertiesSize) + alone.substr(lzmaAloneHeaderSize);
}

std::string LzmaWithoutEndMarker(std::string_view bytes) {
#ifdef _WIN32
    (void)bytes;
    throw std::runtime_error("7-Zip is not run on Windows");
#else
    if (bytes.empty())
        throw std::invalid_argument("an empty LZMA entry without end marker");
    // A 7z archive of one file, its header not compressed, holds one packed stream from byte 32 up to the
    // header, whose offset from byte 32 the start header gives (bytes 12-19).
    constexpr size_t sevenZipStartHeaderSize = 32;
    constexpr size_t nextHeaderOffsetOffset = 12;
    constexpr uint32_t dictionary = 1 << 20;
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("ziptest-7z-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(dir);
    const std::string in = (dir / "data").string(), out = (dir / "data.7z").string();
    WriteFile(in, bytes);
    const int status = std::system(
        ("7z a -t7z -mhc=off -mf=off -mmt=off -m0=LZMA:d=1m:lc=3:lp=0:pb=2 '" + out + "' '" + in + "' >/dev/null 2>&1")
            .c_str());
    std::string archive;
    if (status == 0)
        archive = ReadFile(out);
    std::filesystem::remove_all(dir);
    if (status != 0 || archive.size() < sevenZipStartHeaderSize)
        throw std::runtime_error("7z a -t7z failed (status " + std::to_string(status) + ")");
    const uint64_t packedSize = GetLE64(archive, nextHeaderOffsetOffset);
    if (packedSize > archive.size() - sevenZipStartHeaderSize)
        throw std::runtime_error("7z wrote an unexpected start header");
    std::string zip = lzmaZipVersion;
    AppendLE16(zip, static_cast<uint16_t>(lzmaPropertiesSize));
    zip.push_back(0x5D); // lc 3, lp 0, pb 2: (pb * 5 + lp) * 9 + lc
    AppendLE32(zip, dictionary);
    return zip + archive.substr(sevenZipStartHeaderSize, static_cast<size_t>(packedSize));
#endif
}

std::string Compress(std::string_view bytes, uint16_t method) {
    switch (method) {
    case methodStored:
        return std::string(bytes);
    case methodDeflated:
        return Deflate(bytes);
    case methodBzip2:
        return Bzip2(bytes);
    case methodLzma:
        return Lzma(bytes);
    case methodZstd:
        return Zstd(bytes);
    case methodXz:
        return Xz(bytes);
    default:
        throw std::invalid_argument("no compressor for method " + std::to_string(method));
    }
}

namespace {

// Paths are UTF-8 everywhere the tests run. Windows opens them as such only when told, and turns
// an invalid sequence into U+FFFD as the program's Win32 layer does.
std::filesystem::path OsPath(const std::string& path) {
#ifdef _WIN32
    const int size = static_cast<int>(path.size());
    std::wstring wide(path.size(), L'\0');
    wide.resize(static_cast<std::size_t>(::MultiByteToWideChar(CP_UTF8, 0, path.data(), size, &wide[0], size)));
    return wide;
#else
    return path;
#endif
}

} // namespace

std::string WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream file(OsPath(path), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(OsPath(path), std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace ziptest
