#include "PeerArchives.h"

#include "ZipTestWriter.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace ziptest {
namespace {

const std::string peerPassword = "Tajne heslo 7";
const std::string czechName = "\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88.txt"; // žluťoučký kůň.txt

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string SomeText() {
    std::string text;
    for (int i = 0; text.size() < 300 * 1024; ++i)
        text += "Line " + std::to_string(i) +
                ": P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 "
                "\xC3\xBAp\xC4\x9Bl \xC4\x8F\xC3\xA1"
                "belsk\xC3\xA9 \xC3\xB3"
                "dy, " +
                std::to_string(i * 7919 % 1000) + "\n";
    return text;
}

std::string RandomBytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 20240611;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every central header of an archive without a stub, found from its end record.
std::vector<PeerFile> CentralDirectory(const std::string& zip) {
    const size_t end = zip.rfind(std::string("PK\x05\x06", 4));
    if (end == std::string::npos || end + endRecordSize > zip.size())
        throw std::runtime_error("no end record");
    const uint16_t count = GetLE16(zip, end + endTotalEntriesOffset);
    uint64_t at = GetLE32(zip, end + endCdOffsetOffset);
    std::vector<PeerFile> entries;
    for (uint16_t i = 0; i < count; ++i) {
        if (GetLE32(zip, at) != centralHeaderSignature)
            throw std::runtime_error("central header " + std::to_string(i) + " not where the directory says");
        PeerFile entry;
        const uint16_t nameLength = GetLE16(zip, at + centralNameLengthOffset);
        entry.name = zip.substr(at + centralHeaderSize, nameLength);
        entry.encrypted = (GetLE16(zip, at + centralFlagsOffset) & flagEncrypted) != 0;
        entry.method = GetLE16(zip, at + centralMethodOffset);
        entries.push_back(entry);
        at += centralHeaderSize + nameLength + GetLE16(zip, at + centralExtraLengthOffset) +
              GetLE16(zip, at + centralCommentLengthOffset);
    }
    return entries;
}

PeerRecipe SevenZip(const std::string& options, const std::string& password, uint16_t method) {
    const std::string switches = options + (password.empty() ? "" : " -p" + Quote(password));
    return {"7-Zip: 7z a -tzip " + switches, "7z", "7z a -tzip -bd -mmt=off " + switches + " OUT", password, method};
}

PeerRecipe PythonZipfile(const std::string& compression, uint16_t method) {
    const std::string script = "import sys, zipfile\n"
                               "with zipfile.ZipFile(sys.argv[1], 'w', zipfile." +
                               compression +
                               ") as z:\n"
                               "    for name in sys.argv[2:]: z.write(name)\n";
    return {"Python's zipfile, " + compression, "/usr/bin/python3", "/usr/bin/python3 -c " + Quote(script) + " OUT", "",
            method};
}

} // namespace

const std::vector<PeerFile>& PeerSourceFiles() {
    static const std::vector<PeerFile> files = {
        {"text.txt", SomeText()},
        {"random.bin", RandomBytes(100 * 1024)},
        {"empty.txt", ""},
        {czechName, "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88.\n"},
    };
    return files;
}

const std::vector<PeerRecipe>& PeerRecipes() {
    static const std::vector<PeerRecipe> recipes = {
        SevenZip("-mem=AES128 -mm=Deflate", peerPassword, methodAes),
        SevenZip("-mem=AES192 -mm=Deflate", peerPassword, methodAes),
        SevenZip("-mem=AES256 -mm=Deflate", peerPassword, methodAes),
        SevenZip("-mem=AES128 -mm=Copy", peerPassword, methodAes),
        SevenZip("-mem=AES192 -mm=Copy", peerPassword, methodAes),
        SevenZip("-mem=AES256 -mm=Copy", peerPassword, methodAes),
        SevenZip("-mm=Deflate64", "", methodDeflate64),
        SevenZip("-mm=BZip2", "", methodBzip2),
        SevenZip("-mm=LZMA", "", methodLzma),
        PythonZipfile("ZIP_BZIP2", methodBzip2),
        PythonZipfile("ZIP_LZMA", methodLzma),
        {"Info-ZIP zip -Z bzip2", "zip", "zip -q -X -Z bzip2 OUT", "", methodBzip2},
    };
    return recipes;
}

PeerArchive MakePeerArchive(const PeerRecipe& recipe, const std::string& folder) {
    static std::atomic<unsigned> counter{0};
    const std::string source = folder + "/peer-files-" + std::to_string(counter++);
    std::filesystem::create_directories(source);
    std::string names;
    for (const PeerFile& file : PeerSourceFiles()) {
        WriteFile(source + "/" + file.name, file.data);
        names += " " + Quote(file.name);
    }
    PeerArchive archive;
    archive.label = recipe.label;
    archive.password = recipe.password;
    archive.path = source + ".zip";
    std::string command = recipe.command;
    command.replace(command.find("OUT"), 3, Quote(archive.path));
    const int status = std::system(("cd " + Quote(source) + " && " + command + names + " >/dev/null 2>&1").c_str());
    if (status != 0)
        throw std::runtime_error(recipe.label + ": " + recipe.tool + " failed or is missing (status " +
                                 std::to_string(status) + ")");
    int withMethod = 0;
    for (PeerFile entry : CentralDirectory(ReadFile(archive.path))) {
        bool known = false;
        for (const PeerFile& file : PeerSourceFiles()) {
            if (file.name != entry.name)
                continue;
            entry.data = file.data;
            known = true;
        }
        if (!known)
            throw std::runtime_error(recipe.label + ": an entry not among the files: " + entry.name);
        // A tool may store what does not compress (random bytes; zip's bzip2 a small text).
        if (!entry.data.empty() && entry.method != recipe.method && entry.method != 0)
            throw std::runtime_error(recipe.label + ": " + entry.name + " has method " + std::to_string(entry.method));
        withMethod += entry.method == recipe.method;
        archive.files.push_back(entry);
    }
    if (archive.files.size() != PeerSourceFiles().size())
        throw std::runtime_error(recipe.label + ": " + std::to_string(archive.files.size()) + " entries");
    if (withMethod == 0)
        throw std::runtime_error(recipe.label + ": no entry has method " + std::to_string(recipe.method));
    return archive;
}

} // namespace ziptest
