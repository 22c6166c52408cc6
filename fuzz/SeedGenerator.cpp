// Writes the seed corpora of the fuzz targets, built with the test writer:
//   fuzz_seeds OUTDIR   ->  OUTDIR/archives/*.zip and OUTDIR/paths/*
// A path seed is one options byte (see PathFuzzer.cpp) followed by an entry name; a
// volume seed is a split set in the form VolumesFuzzer.cpp reads (OUTDIR/volumes/*).

#include "ZipTestWriter.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

using namespace ziptest;

namespace {

// The password the fuzz targets set; encrypted seeds use it so that their data decrypt.
constexpr const char* fuzzPassword = "password";

std::vector<std::vector<Entry>> ArchiveShapes() {
    const std::string text = "The quick brown fox jumps over the lazy dog.\n";
    std::string repeated;
    for (int i = 0; i < 200; ++i)
        repeated += text;

    Entry encrypted = File("secret.txt", text);
    encrypted.password = fuzzPassword;
    Entry encryptedStored = File("secret-stored.txt", repeated, methodStored);
    encryptedStored.password = fuzzPassword;
    encryptedStored.dataDescriptor = true;
    Entry withDescriptor = File("dd.txt", repeated);
    withDescriptor.dataDescriptor = true;
    Entry bareDescriptor = File("dd-bare.txt", text, methodStored);
    bareDescriptor.dataDescriptor = true;
    bareDescriptor.descriptorSignature = false;
    Entry utf8 = File("\xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD.txt", text);
    utf8.extraFlags = flagUtf8;
    Entry withExtra = File("extra.txt", text);
    withExtra.localExtra = std::string("UT\x05\x00\x03\x01\x02\x03\x04", 9);
    withExtra.centralExtra = withExtra.localExtra;
    withExtra.comment = "entry comment";
    Entry readOnly = DosFile("READONLY.TXT", text, dosReadOnly | dosArchive);
    Entry oem = DosFile("\x8E\x81\x94.TXT", text);
    Entry script = File("run.sh", "#!/bin/sh\necho hi\n", methodStored);
    script.externalAttr = UnixAttributes(0100755);
    Entry unsupported = File("method12.bin", text, 12);
    Entry bomb = File("zeros.bin", std::string(200000, '\0'));
    const auto link = [](std::string name, std::string target, std::uint16_t method = methodStored) {
        Entry entry = File(std::move(name), std::move(target), method);
        entry.externalAttr = UnixAttributes(0120777);
        return entry;
    };
    Entry encryptedLink = link("secret-link", "secret.txt");
    encryptedLink.password = fuzzPassword;

    return {
        {},
        {File("a.txt", text)},
        {File("a.txt", text, methodStored), File("empty.txt", "", methodStored)},
        {Dir("docs/"), File("docs/a.txt", repeated), Dir("docs/sub/"), File("docs/sub/b.txt", text)},
        {DosDir("DOCS\\"), DosFile("DOCS\\A.TXT", text), readOnly, oem},
        {encrypted, encryptedStored, File("plain.txt", text)},
        {withDescriptor, bareDescriptor, utf8, withExtra},
        {script, unsupported, File("after.txt", text)},
        {bomb},
        {File("../escape.txt", text), File("a/../../escape.txt", text), File("..\\escape.txt", text)},
        {File("/abs/x.txt", text), File("C:\\x.txt", text), File("C:..\\x.txt", text),
         File("\\\\srv\\share\\x.txt", text), File("\\\\?\\C:\\..\\x.txt", text)},
        {File(".", text), File("..", text), File("", text), File("/", text), File(std::string("a\0b.txt", 7), text)},
        {Dir("d"), File("d", text), File("d/x.txt", text), Dir("f.txt/"), File("f.txt", text)},
        {link("up", "../.."), File("up/x.txt", text), link("abs", "/tmp", methodDeflated), Dir("abs/"),
         File("here.txt", text), link("here.txt", "up"), encryptedLink, link("here.txt/x", "y")},
    };
}

std::vector<std::string> Archives() {
    std::vector<std::string> out;
    for (const auto& entries : ArchiveShapes())
        out.push_back(BuildArchive(entries));
    Options stubbed;
    stubbed.stub = std::string(300, 'S');
    stubbed.archiveComment = "archive comment";
    out.push_back(BuildArchive({File("a.txt", "stub in front"), Dir("d/")}, stubbed));
    stubbed.offsetsRelativeToFile = true;
    out.push_back(BuildArchive({File("a.txt", "stub counted")}, stubbed));
    Options repeated;
    repeated.centralOrder = {0, 0, 1};
    out.push_back(BuildArchive({File("a.txt", "one"), File("b.txt", "two")}, repeated));
    // ZIP64: extra blocks in both headers, 8-byte descriptors, the end record and locator, behind a stub.
    Entry forced = File("zip64.txt", "ZIP64 extra blocks");
    forced.zip64 = true;
    Entry streamed = File("streamed.txt", "8-byte descriptor sizes");
    streamed.zip64 = true;
    streamed.dataDescriptor = true;
    Options zip64;
    zip64.zip64EndRecord = true;
    out.push_back(BuildArchive({forced, streamed, Dir("d/")}, zip64));
    zip64.stub = std::string(300, 'S');
    zip64.zip64MarksInEndRecord = false;
    out.push_back(BuildArchive({File("a.txt", "classic entry"), forced}, zip64));
    zip64.stub.clear();
    zip64.zip64Extensible = "extensible data";
    out.push_back(BuildArchive({streamed}, zip64));
    // The other methods, compressed by their own tools, and AES over them and over deflate, beside an
    // entry of the traditional cipher.
    const std::string text = "The quick brown fox jumps over the lazy dog.\n";
    Entry encrypted = File("secret.txt", text);
    encrypted.password = fuzzPassword;
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += std::to_string(i * 7919) + " " + text;
    out.push_back(BuildArchive({Packed("b.bz2.txt", many, 12), Packed("l.lzma.txt", many, 14),
                                Packed("z.zst.txt", many, 93), Packed("x.xz.txt", many, 95)}));
    out.push_back(BuildArchive({AesFile("a1.txt", many, fuzzPassword, aes128, aesVersion1, methodDeflated),
                                AesFile("a2.txt", text, fuzzPassword, aes256, aesVersion2, methodStored),
                                AesFile("a3.txt", many, fuzzPassword, aes192, aesVersion2, 93), encrypted}));
    return out;
}

// Split sets as the volumes target reads them: the number of volumes after the first,
// the 16-bit length of each volume before the last, then all their bytes.
std::vector<std::string> VolumeSets() {
    std::vector<std::string> out;
    const std::string text = "Split across volumes, byte for byte.\n";
    std::string longText;
    for (int i = 0; i < 40; ++i)
        longText += text;
    Entry encrypted = File("secret.txt", longText);
    encrypted.password = fuzzPassword;
    Entry zip64 = File("zip64.txt", longText);
    zip64.zip64 = true;
    zip64.dataDescriptor = true;
    SplitOptions zip64Records;
    zip64Records.zip64EndRecord = true;
    const std::vector<std::pair<std::vector<Entry>, SplitOptions>> shapes = {
        {{File("a.txt", longText), File("b.txt", longText, methodStored)}, {}},
        {{Dir("d/"), File("d/a.txt", longText), encrypted}, {}},
        {{zip64, File("b.txt", longText, methodStored)}, zip64Records},
    };
    for (const auto& [entries, options] : shapes)
        for (const std::uint64_t volumeSize : {300u, 700u}) {
            const std::vector<std::string> volumes = BuildSplitArchive(entries, volumeSize, options);
            if (volumes.empty() || volumes.size() > 4)
                continue;
            std::string seed(1, static_cast<char>(volumes.size() - 1));
            for (std::size_t i = 0; i + 1 < volumes.size(); ++i) {
                const std::size_t length = std::min<std::size_t>(volumes[i].size(), 0xFFFF);
                seed += static_cast<char>(length & 0xFF);
                seed += static_cast<char>(length >> 8);
            }
            for (const std::string& volume : volumes)
                seed += volume;
            out.push_back(seed);
        }
    return out;
}

std::vector<std::string> EntryNames() {
    return {"a.txt",
            "docs/a.txt",
            "docs\\sub\\",
            "docs/sub/",
            "C:\\x\\y.txt",
            "C:..\\x",
            "\\\\srv\\share\\f.txt",
            "\\\\?\\C:\\..\\x",
            "\\\\?\\UNC\\srv\\share\\x",
            "../x",
            "a/../../x",
            "..\\x",
            "a\\..\\..\\x",
            "a/./b",
            "./a",
            "a//b",
            "/abs/x",
            ".",
            "..",
            "",
            "/",
            "\\",
            "...",
            ".. /x",
            "a\\b/c\\..",
            std::string("a\0b", 3),
            std::string(300, 'n') + "/x"};
}

void Write(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || std::fclose(file) != 0)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    try {
        const std::string root = argv[1];
        for (const char* folder : {"", "/archives", "/paths", "/volumes"})
            ::mkdir((root + folder).c_str(), 0755);
        int n = 0;
        for (const std::string& archive : Archives())
            Write(root + "/archives/seed-" + std::to_string(++n) + ".zip", archive);
        n = 0;
        for (const std::string& set : VolumeSets())
            Write(root + "/volumes/seed-" + std::to_string(++n), set);
        n = 0;
        // Every name with each of the options bytes that select a different composition.
        for (const std::string& name : EntryNames())
            for (char options = 0; options < 16; ++options)
                Write(root + "/paths/seed-" + std::to_string(++n), options + name);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
