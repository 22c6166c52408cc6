#pragma once

#include <cstdint>
#include <string>

// The program's own file as an executable image: where the data the archive may use end. A signed
// Windows program carries its signature as a certificate table after everything else, the appended
// archive included; the signature does not cover the table, so nothing in it is the archive's.
class CProgramImage {
  public:
    // The most of the file's start the headers are looked for in.
    static constexpr std::size_t headBytes = 4096;
    // From the file's first bytes (head, up to headBytes) and its length: the start of a PE image's
    // certificate table where that table runs to the end of the file, else fileLength (not a PE
    // image, not signed, or more appended after the signature, which it then no longer matches).
    static std::uint64_t DataEnd(const std::string& head, std::uint64_t fileLength);
    // The same for the file at path (OS form); UINT64_MAX where it cannot be read.
    static std::uint64_t DataEndOf(const std::string& path);
};
