#pragma once

#include <cstdint>

// A progress callback registered with the archive object under one or more
// kinds. Only archive modification registers any; reading merely asks for them.
class CZipActionCallback {
  public:
    virtual ~CZipActionCallback() = default;

    // Extraction: once per entry, before anything is created.
    virtual void Begin(const char* /*entryName*/, const char* /*outputPath*/) {}
    // The bytes the entry will deliver (0 for a directory).
    virtual void SetSize(std::uint64_t /*size*/) {}
    // After the directory was made or the file closed.
    virtual void Finish() {}
    // After every chunk written; false stops the extraction.
    virtual bool Progress(std::uint32_t /*bytes*/) { return true; }

    // The kind under which the callback was last fetched.
    std::uint32_t kind = 0;
};
