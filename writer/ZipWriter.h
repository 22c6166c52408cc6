#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CZipOutput;

// What the writer records of an entry besides its data.
struct ZipWriterEntry {
    std::string name;       // with '/' between folders, a folder's ending in '/'
    std::uint32_t mode = 0; // st_mode: type and permission bits
    std::int64_t mtime = 0; // seconds since 1970, UTC
    std::uint64_t size = 0; // uncompressed
    bool encrypted = false; // the data are WinZip AES (AE-2, AES-256) around `method`
};

// Writes a ZIP archive to an output, entry by entry, and its central directory at the end.
// Offsets are the output's own, so an archive written after a stub counts the stub, as
// readers expect of a self-extractor. Each entry carries the UNIX mode, the modification time
// (DOS time in UTC, and the UT field), the UTF-8 flag on a name in UTF-8 that is not plain
// ASCII, and ZIP64 fields only where a value does not fit the classic ones. No data descriptors:
// an entry whose sizes are known only at its end gets them patched into its local header.
class CZipWriter {
  public:
    static constexpr std::uint16_t methodStored = 0;
    static constexpr std::uint16_t methodDeflated = 8;
    // Salt, password verifier and authentication code around an AES-256 entry's ciphertext.
    static constexpr std::uint64_t aesOverhead = 16 + 2 + 10;

    explicit CZipWriter(CZipOutput& out) : out(out) {}

    // An entry whose data (compressed, and encrypted when entry.encrypted) are all at hand.
    void AddEntry(const ZipWriterEntry& entry, std::uint16_t method, std::uint32_t crc, const unsigned char* data,
                  std::size_t size);

    // An entry whose data come in pieces: Begin, AppendData..., End. Restart drops the data
    // appended so far, for writing them anew (stored, where deflate did not pay).
    void BeginEntry(const ZipWriterEntry& entry);
    void AppendData(const unsigned char* data, std::size_t size);
    void RestartData();
    void EndEntry(std::uint16_t method, std::uint32_t crc);

    // The central directory and the end records.
    void Finish();

  private:
    struct Written {
        ZipWriterEntry entry;
        std::uint16_t method;
        std::uint32_t crc;
        std::uint64_t compressedSize;
        std::uint64_t offset; // of the local header
    };

    void WriteLocalHeader(const Written& w, bool zip64);
    std::vector<unsigned char> LocalHeader(const Written& w, bool zip64) const;

    CZipOutput& out;
    std::vector<unsigned char> central;
    std::uint64_t entries = 0;
    Written open{};
    bool openZip64 = false;
    std::uint64_t openDataStart = 0;
    bool streaming = false;
};
