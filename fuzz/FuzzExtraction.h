#pragma once

// What the extraction targets share: the front end's extraction loop with its checks,
// a reading pass through OpenEntry/ReadEntry, and the check of the target's tree.

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/ZipPathSafety.h"
#include "fuzz/FuzzSandbox.h"
#include "platform/ZipOs.h"
#include "platform/ZipOsPosixPath.h"

#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace fuzzextract {

// Bounds that keep one run fast: a deflate stream can inflate a thousandfold. Extraction
// stops through the progress callback once writeBudget bytes were written for one input;
// reading in memory gives up on an entry after readBudget bytes.
constexpr std::uint64_t writeBudget = 8 << 20;
constexpr std::uint64_t readBudget = 4 << 20;
constexpr const char* fuzzPassword = "password"; // the seeds' encrypted entries use it
constexpr std::uint32_t minChunk = 1000;
constexpr std::uint32_t chunkSpread = 3000;
constexpr char tempNamePrefix[] = ".rozbal-"; // the name extraction writes under until verified

inline void Check(bool condition) { CFuzzSandbox::Require(condition); }

inline CFuzzSandbox& Sandbox() {
    static CFuzzSandbox sandbox;
    return sandbox;
}

class CWriteBudget : public CZipActionCallback {
  public:
    bool Progress(std::uint32_t bytes) override {
        written += bytes;
        return written <= writeBudget;
    }
    std::uint64_t written = 0;
};

// What stands at an output path, not following a link.
struct PathState {
    bool exists = false;
    bool regular = false;
    bool link = false;
    ino_t inode = 0;
    std::int64_t size = 0;
    bool operator==(const PathState& other) const {
        return exists == other.exists && regular == other.regular && link == other.link && inode == other.inode &&
               size == other.size;
    }
};

// The OS form with `.`, `..` and empty components resolved on the string, as the OS resolves
// them where no symlink stands on the way: "t/a/../b" names t/b even before t/a exists. Where a
// link an entry made stands on the way, the path only serves to see that nothing changed.
inline std::string LexicalPath(const std::string& path) {
    const std::string native = ZipOs::ToNativePath(path);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= native.size()) {
        std::size_t end = native.find('/', start);
        if (end == std::string::npos)
            end = native.size();
        const std::string part = native.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = !native.empty() && native[0] == '/' ? "" : ".";
    for (const std::string& part : parts)
        result += "/" + part;
    return result;
}

inline PathState StateOf(const std::string& path) {
    PathState state;
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::lstat(LexicalPath(path).c_str(), &st) != 0)
        return state;
    state.exists = true;
    state.regular = S_ISREG(st.st_mode);
    state.link = S_ISLNK(st.st_mode);
    state.inode = st.st_ino;
    state.size = st.st_size;
    return state;
}

// Only regular files, folders and the links entries made, no hard links and nothing left under a
// temporary name.
inline void CheckTree(const std::string& folder, bool tempNamesExpected) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return; // a folder entry may have taken its own read right
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(dir))
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.push_back(item->d_name);
    ::closedir(dir);
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st {};
        Check(::lstat(path.c_str(), &st) == 0);
        Check(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
        if (!S_ISDIR(st.st_mode)) {
            Check(st.st_nlink == 1);
            Check(tempNamesExpected || name.compare(0, sizeof tempNamePrefix - 1, tempNamePrefix) != 0);
        } else {
            CheckTree(path, tempNamesExpected);
        }
    }
}

// The front end's loop: an existing file inside the target is made writable, then the entry
// extracted; a failed entry is closed without checks.
inline void ExtractAll(CZipArchive& archive, const std::string& target) {
    for (int i = 0; i < archive.GetCount(); ++i) {
        const auto index = static_cast<std::uint16_t>(i);
        CZipEntryHeader header;
        Check(archive.GetEntryInfo(header, index));
        const std::string name = header.GetFileName();
        const std::string path = archive.ComposeExtractPath(name, target.c_str(), true, nullptr);
        const CZipPathSafety::Verdict verdict = CZipPathSafety::Judge(name, target, path);
        if (verdict == CZipPathSafety::Inside && ZipOs::PathExists(path)) {
            const std::string relative = CZipPathSafety::RelativePart(target, path);
            const std::string base = path.substr(0, path.size() - relative.size());
            if (ZipOs::WalkFoldersBelow(base, CZipPathSafety::DirectoryOf(relative), false) == ZipOs::FolderWalk::Ready)
                ZipOs::MakeNormal(path);
        }
        const PathState before = StateOf(path);
        bool extracted = false;
        try {
            extracted = archive.ExtractEntry(index, target.c_str(), true, nullptr, CZipEntryStream::defaultBufferSize);
        } catch (const CZipException&) {
        }
        if (!extracted)
            archive.CloseEntry(nullptr, true);
        Sandbox().CheckOutside();
        if (header.IsDirectory())
            continue;
        const PathState after = StateOf(path);
        // A link lands only whole and verified, as a link holding the entry's data; a failed one
        // leaves what was at its path as it was.
        if (header.IsSymbolicLink()) {
            if (extracted || !(after == before))
                Check(verdict == CZipPathSafety::Inside && after.link &&
                      after.size == static_cast<std::int64_t>(header.uncompressedSize));
            continue;
        }
        // A file lands only whole and verified; a failed entry leaves a file at its path as it was.
        // Folders it made on the way stay, as they do when the output file cannot be created.
        const bool fileChanged = (before.regular || after.regular) && !(after == before);
        if (extracted || fileChanged)
            Check(verdict == CZipPathSafety::Inside && after.regular &&
                  after.size == static_cast<std::int64_t>(header.uncompressedSize));
    }
    // As the front end does after the last entry: never through a link, never outside.
    archive.ApplyFolderTimes();
    Sandbox().CheckOutside();
}

inline void ReadAll(CZipArchive& archive, std::uint32_t chunk) {
    std::vector<char> buffer(chunk);
    for (int i = 0; i < archive.GetCount(); ++i) {
        const auto index = static_cast<std::uint16_t>(i);
        CZipEntryHeader header;
        Check(archive.GetEntryInfo(header, index));
        if (header.IsDirectory())
            continue;
        try {
            if (!archive.OpenEntry(index))
                continue;
            std::uint64_t total = 0;
            while (const std::uint32_t n = archive.ReadEntry(buffer.data(), chunk)) {
                Check(n <= chunk);
                total += n;
                Check(total <= header.uncompressedSize);
                if (total > readBudget)
                    break;
            }
            if (total > readBudget)
                archive.CloseEntry(nullptr, true);
            else
                archive.CloseEntry();
        } catch (const CZipException&) {
            archive.CloseEntry(nullptr, true);
        }
    }
}


// Extracts and reads every entry of an open archive, then checks the target and its
// surroundings. Half the inputs (by `variant`) run without a password: encrypted
// entries must then be refused.
inline void Run(CZipArchive& archive, std::size_t variant) {
    CFuzzSandbox& sandbox = Sandbox();
    if (variant % 2 == 0)
        archive.SetPassword(fuzzPassword);
    CWriteBudget budget;
    archive.SetCallback(&budget, CZipArchive::CallbackExtract);
    ExtractAll(archive, sandbox.Target());
    bool tempNamesExpected = false;
    for (int i = 0; i < archive.GetCount(); ++i) {
        CZipEntryHeader header;
        archive.GetEntryInfo(header, static_cast<std::uint16_t>(i));
        tempNamesExpected = tempNamesExpected || header.GetFileName().find(tempNamePrefix) != std::string::npos;
    }
    CheckTree(sandbox.Target(), tempNamesExpected);
    ReadAll(archive, minChunk + static_cast<std::uint32_t>(variant % chunkSpread));
    archive.SetCallback(nullptr, CZipArchive::CallbackExtract);
    archive.Close();
    sandbox.CheckOutside();
}

} // namespace fuzzextract
