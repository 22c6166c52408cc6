// Composes output paths from hostile entry names and judges them as extraction
// does, then checks the verdict against the file system: the folders of a path
// judged inside the target are made, below the target, by the engine's own walk,
// and the OS must resolve the path to a place strictly below the target (or to
// the target itself for that verdict). Nothing outside the target may change and
// no accepted path holds a zero byte.
//
// The input is one options byte followed by the name:
//   bit 0   full paths off
//   bit 1-2 the folder: absolute, absolute with trailing separators, relative, none
//   bit 3   the name is passed as the new name (the entry's own name is harmless)

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/ZipPathSafety.h"
#include "fuzz/FuzzSandbox.h"
#include "platform/ZipOs.h"
#include "platform/ZipOsPosixPath.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr unsigned optionNoFullPath = 0x01;
constexpr unsigned optionFolderShift = 1;
constexpr unsigned optionFolderMask = 0x03;
constexpr unsigned optionAsNewName = 0x08;
enum FolderKind { FolderAbsolute, FolderTrailing, FolderRelative, FolderNone };

void Check(bool condition) { CFuzzSandbox::Require(condition); }

CFuzzSandbox& Sandbox() {
    static CFuzzSandbox sandbox;
    return sandbox;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The depth below the folder that a relative path reaches, component by component, or -1 when
// it climbs above the folder on the way: checked before the disk sees the path.
long LexicalDepth(const std::string& relative) {
    long depth = 0;
    std::string component;
    for (std::size_t i = 0; i <= relative.size(); ++i) {
        if (i < relative.size() && !IsSeparator(relative[i])) {
            component += relative[i];
            continue;
        }
        if (component == "..")
            --depth;
        else if (!component.empty() && component != ".")
            ++depth;
        if (depth < 0)
            return -1;
        component.clear();
    }
    return depth;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    CFuzzSandbox& sandbox = Sandbox();
    const unsigned options = data[0];
    const std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool asNewName = (options & optionAsNewName) != 0;
    const std::string target = sandbox.Target();
    static const std::string realTarget = RealPath(target);

    // The folder as passed, and the current folder that makes it name the target.
    std::string folder;
    std::string cwd = sandbox.Root() + "/cwd";
    switch ((options >> optionFolderShift) & optionFolderMask) {
    case FolderAbsolute:
        folder = target;
        break;
    case FolderTrailing:
        folder = target + "/\\/";
        break;
    case FolderRelative:
        folder = "target";
        cwd = target.substr(0, target.rfind('/'));
        break;
    default:
        cwd = target;
        break;
    }
    Check(::chdir(cwd.c_str()) == 0);

    CZipArchive archive;
    const std::string path =
        archive.ComposeExtractPath(asNewName ? "entry.txt" : name, folder.empty() ? nullptr : folder.c_str(),
                                   (options & optionNoFullPath) == 0, asNewName ? name.c_str() : nullptr);
    const std::string judged = asNewName ? std::string(name.c_str()) : name;
    const CZipPathSafety::Verdict verdict = CZipPathSafety::Judge(judged, folder, path);
    if (verdict == CZipPathSafety::ZeroByte) {
        Check(judged.find('\0') != std::string::npos || path.find('\0') != std::string::npos);
    } else if (verdict != CZipPathSafety::Outside) {
        Check(path.find('\0') == std::string::npos);
        const std::string relative = CZipPathSafety::RelativePart(folder, path);
        const std::string base = path.substr(0, path.size() - relative.size());
        std::string prefix = folder;
        while (!prefix.empty() && IsSeparator(prefix.back()))
            prefix.pop_back();
        if (folder.empty())
            Check(base.empty());
        else if (path == prefix)
            Check(relative.empty());
        else
            Check(base.size() == prefix.size() + 1 && base.compare(0, prefix.size(), prefix) == 0);
        // Without a folder, a leading separator would make the path absolute.
        const long depth = folder.empty() && !path.empty() && IsSeparator(path[0]) ? -1 : LexicalDepth(relative);
        Check(verdict == CZipPathSafety::Inside ? depth > 0 : depth == 0);
        // Made as a folder entry would be; a name too long for the OS is simply not made.
        if (ZipOs::WalkFoldersBelow(base, relative, true) == ZipOs::FolderWalk::Ready) {
            const std::string resolved = RealPath(ZipOs::ToNativePath(path.empty() ? "." : path));
            if (!resolved.empty()) {
                if (verdict == CZipPathSafety::TargetFolder)
                    Check(resolved == realTarget);
                else
                    Check(resolved.size() > realTarget.size() + 1 &&
                          resolved.compare(0, realTarget.size(), realTarget) == 0 &&
                          resolved[realTarget.size()] == '/');
            }
        }
    }
    Check(::chdir((sandbox.Root() + "/cwd").c_str()) == 0);
    sandbox.CheckOutside();
    if (verdict != CZipPathSafety::Outside && verdict != CZipPathSafety::ZeroByte)
        sandbox.Reset();
    return 0;
}
