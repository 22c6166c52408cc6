#pragma once

#include <string>

// Where an output path composed for an entry leads, judged on the strings alone: the engine and
// the front end touch a path only when it stays strictly inside the target folder.
class CZipPathSafety {
  public:
    enum Verdict {
        Inside,       // below the target folder
        TargetFolder, // the target folder itself (an empty name, separators and dots only, "a\..")
        Outside,      // ".." components climb above the target folder
        ZeroByte,     // the name holds a zero byte: the OS would see a shorter path
    };

    // name: the entry's name (or the new name) that was composed; folder: the folder it was composed
    // with; path: the composed output path.
    static Verdict Judge(const std::string& name, const std::string& folder, const std::string& path);
    // The part of a composed path below the folder, without the separator between them; empty for
    // the folder itself.
    static std::string RelativePart(const std::string& folder, const std::string& path);
    // The folder part of a relative path: up to its last separator, empty when it has none.
    static std::string DirectoryOf(const std::string& relative);
};
