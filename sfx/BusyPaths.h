#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CZipExtraction;

// The files placed and not yet ended, under their final and their temporary names, sorted. An entry
// at one of them or below one waits until they have ended, so that it meets on disk what it would
// meet on one thread (a failed file removed, a replaced one in place).
class CBusyPaths {
  public:
    void Add(const CZipExtraction& job);
    void Remove(const CZipExtraction& job);
    bool Empty() const { return paths.empty(); }
    // Whether path, composed below a target folder of folderLength bytes, is a busy file or lies
    // below one; the target folder and its parents are never busy.
    bool Meets(const std::string& path, std::size_t folderLength) const;

  private:
    bool Holds(std::string_view path) const;
    void Insert(const std::string& path);
    void Erase(const std::string& path);

    std::vector<std::string> paths;
};
