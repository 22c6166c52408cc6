// Every archive of the shared corpus (made by other tools and taken from other projects' test suites)
// goes through the engine as the extractor uses it: opened, then every entry extracted into a scratch
// folder with the manifest's password. The outcome is compared with MANIFEST.tsv (does it open) and
// EXPECTED-ENTRIES.tsv (does each entry come out, byte-exact by its SHA-256). Archives that must fail
// fail with a CZipException; nothing that succeeds may have asked for bytes past the end of the file.
// Where our policy differs from the manifest, `deviations` below says so and why.
#include "support/MemoryStream.h"
#include "support/Sha256.h"
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "engine/decode/ZipCodecTable.h"

#include "support/CorpusTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const std::string corpus = sharedcorpus::folder;
using sharedcorpus::ReadTable;

std::string LinkTarget(const std::string& path) {
#ifdef _WIN32
    return ziptest::ReadFile(path); // no links here: a file holding the target text
#else
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(path.c_str(), &target[0], target.size());
    EXPECT_GE(length, 0) << path << " is no symbolic link";
    target.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    return target;
#endif
}

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }
bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

enum class Want { Done, Fails, Either };

constexpr char unsupportedMethod[] = "unsupported-method: ";

const char* Describe(Want want) {
    return want == Want::Done ? "succeed" : want == Want::Fails ? "fail" : "either succeed or fail cleanly";
}

// Where our policy differs from the manifest: the archive, the entry in local-header order (-1 for
// opening the archive), what we do instead, and why. Two remarks of the manifest are met without a
// row here: an absolute name or one with a drive ("/atxt", "C:/xt") loses its root and drive and
// lands inside the target folder, and of two entries with the same name the later one replaces the
// earlier.
struct Deviation {
    const char* archive;
    int entry;
    Want ours;
    const char* reason;
};

const Deviation deviations[] = {
    // Names that leave the target folder are refused (the peers extract them or warn). A backslash
    // separates folders in any name, from whatever host.
    {"generated/raw-path-traversal.zip", 1, Want::Fails, "../evil-parent.txt leaves the target folder"},
    {"generated/raw-path-traversal.zip", 3, Want::Fails, "sub/../../evil-nested.txt leaves the target folder"},
    {"generated/raw-path-traversal.zip", 4, Want::Fails, "..\\..\\evil-backslash.txt leaves the target folder"},
    {"yauzl/failure/invalid relative path xt.zip", 0, Want::Fails, "../xt leaves the target folder"},
    // The system would see a name cut at its zero byte: another file than the entry names.
    {"libzip/data/incons-filename-nul-byte.zip", 0, Want::Fails, "the name holds a zero byte"},
    // A file entry named only by the target folder itself is refused; it would take the folder's place.
    {"libzip/data/filename_empty.zip", 0, Want::Fails, "an empty name composes to the target folder"},
    {"libzip/data/filename_duplicate_empty.zip", 0, Want::Fails, "an empty name composes to the target folder"},
    {"libzip/data/filename_duplicate_empty.zip", 1, Want::Fails, "an empty name composes to the target folder"},
    // The file a/b is followed by the folder a/b/ and the file a/b/c: on a disk the folder cannot be
    // made where the file is, nor the file in it.
    {"go/testdata/dupdir.zip", 2, Want::Fails, "the folder a/b/ cannot replace the file a/b"},
    {"go/testdata/dupdir.zip", 3, Want::Fails, "a/b is a file, so a/b/c has no folder"},
    // The end record nearest the end of the file is taken, as the search runs backward, unless it
    // leads to no directory and lies in the comment of one that does.
    // Here that end record belongs to a whole ZIP64 archive in the comment, which opens with the
    // outer archive taken for its stub: its own entry comes out, not the outer one the corpus lists.
    {"libzip/data/zip64-in-archive-comment.zip", -1, Want::Done, "the embedded end record is nearest the end"},
    {"libzip/data/zip64-in-archive-comment.zip", 0, Want::Either, "the embedded archive's entry comes out"},
    // A split set opens from its last volume, which holds the directory; each entry that needs a
    // missing volume then fails on its own (code 2), as the entries on the volumes present come out.
    {"libzip/data/multidisk.zip", -1, Want::Done, "the directory is on the last volume"},
    {"libzip/data/multidisk.zip", 0, Want::Fails, "its volume .z01 is missing"},
    {"generated/split-missing-volume/iz-split.zip", -1, Want::Done, "the directory is on the last volume"},
    {"generated/split-missing-volume/iz-split.zip", 0, Want::Fails, "its data run on into the missing .z02"},
    {"generated/split-missing-volume/iz-split.zip", 1, Want::Fails, "it lies on the missing .z02"},
    // The manifest lists ZIP64 as out of scope; it is read now. These open and every entry comes out
    // (its CRC checked), as with the peers:
    {"go/testdata/zip64.zip", -1, Want::Done, "ZIP64 is read"},
    {"go/testdata/zip64-2.zip", -1, Want::Done, "ZIP64 is read; extra blocks in another order"},
    {"libarchive/libarchive/test/test_read_format_zip_with_invalid_traditional_eocd.zip", -1, Want::Done,
     "the ZIP64 end record's values stand for the classic ones"},
    {"libarchive/libarchive/test/test_read_format_zip_zip64a.zip", 0, Want::Done, "8-byte descriptor sizes are read"},
    {"libarchive/libarchive/test/test_read_format_zip_zip64b.zip", 0, Want::Done, "8-byte descriptor sizes are read"},
    {"libzip/data/streamed-zip64.zip", 0, Want::Done, "8-byte descriptor sizes are read"},
    {"libzip/data/incons-ef-local-dupe-zip64-v2.zip", -1, Want::Done, "ZIP64 is read"},
    {"libzip/data/zip64-3mf.zip", -1, Want::Done, "ZIP64 is read; the end record defers its disk number"},
    {"libzip/data/zip64.zip", -1, Want::Done, "ZIP64 is read"},
    {"python/exe_with_z64", -1, Want::Done, "the stub is measured from the ZIP64 end record"},
    {"yauzl/success/zip64.zip", -1, Want::Done, "ZIP64 is read"},
    {"generated/iz-stdin-zip64-local.zip", -1, Want::Done, "ZIP64 is read"},
    // Peers disagree on these, or they are inconsistent only where the engine does not look; the
    // directory holds together, and each entry is checked when extracted.
    {"libzip/data/incons-ef-local-dupe-zip64-v1.zip", -1, Want::Done, "the directory holds together"},
    {"libzip/data/incons-eocd64.zip", -1, Want::Done, "the directory holds together"},
    {"libzip/data/incons-zip64-checkcons-overflow.zip", -1, Want::Done, "the directory holds together"},
    {"yauzl/failure/unexpected EOF.zip", -1, Want::Done, "the directory holds together; the data are cut"},
    // ... and these open, but their one entry is damaged: a size 4 GiB too large, a directory that
    // runs past where the archive's offsets say.
    {"libarchive/libarchive/test/test_read_format_zip_uncompressed_size_off_by_4gib.zip", -1, Want::Done,
     "ZIP64 is read; the entry's size is wrong"},
    {"libarchive/libarchive/test/test_read_format_zip_uncompressed_size_off_by_4gib.zip", 0, Want::Fails,
     "its ZIP64 size is 4 GiB too large"},
    // Labelled with a method read now, but their data are no stream of it.
    {"libzip/data/testbzip2broken.zip", 0, Want::Fails, "its bzip2 stream is damaged"},
    {"generated/raw-unsupported-method.zip", 1, Want::Fails, "its data under method 12 are no bzip2 stream"},
};

const Deviation* FindDeviation(const std::string& archive, int entry) {
    for (const Deviation& deviation : deviations)
        if (archive == deviation.archive && entry == deviation.entry)
            return &deviation;
    return nullptr;
}

// What the manifest expects of opening an archive.
Want OpeningWanted(const std::string& inScope, const std::string& expected) {
    if (StartsWith(expected, "fails cleanly") || StartsWith(expected, "not opened on its own"))
        return Want::Fails;
    // Out of scope (ZIP64, AES, other methods): anything but a crash; where peers split, either way.
    if (StartsWith(inScope, "no") || Has(expected, "or fails cleanly") || Has(expected, "fails cleanly ("))
        return Want::Either;
    return Want::Done;
}

// Split sets need their sibling volume files, so they are opened by path, not from memory.
bool NeedsVolumeFiles(const std::string& inScope, const std::string& expected) {
    return Has(inScope, "multi-volume") || Has(expected, "across volumes") || Has(expected, "missing volume");
}

// The archive's bytes from memory, noting every read that asks for bytes past the end.
class EndWatchingStream : public ziptest::MemoryStream {
  public:
    using MemoryStream::MemoryStream;
    std::uint32_t Read(void* buffer, std::uint32_t count) override {
        if (position + count > GetLength())
            ++readsPastEnd;
        return MemoryStream::Read(buffer, count);
    }
    int readsPastEnd = 0;
};

struct ExpectedEntry {
    std::string result; // "ok" or "error: ..."
    std::string sha256;
};

// How each outcome compared: as the manifest says, as `deviations` says, accepted either way (out of
// scope, a folder made without opening its entry, an entry the corpus does not list), or wrong.
struct Tally {
    int asListed = 0, byPolicy = 0, eitherWay = 0, wrong = 0;
    void Count(bool listedOutcome, const Deviation* deviation, bool accepted) {
        if (!accepted)
            ++wrong;
        else if (deviation)
            ++byPolicy;
        else if (listedOutcome)
            ++asListed;
        else
            ++eitherWay;
    }
};

std::ostream& operator<<(std::ostream& out, const Tally& tally) {
    return out << tally.asListed << " as listed, " << tally.byPolicy << " by our policy, " << tally.eitherWay
               << " accepted either way, " << tally.wrong << " wrong";
}

// Extracts one entry; true when it came out. code: the exception's code, 0 without one.
bool Extract(CZipArchive& archive, std::uint32_t index, const std::string& folder, int& code) {
    code = 0;
    try {
        return archive.ExtractEntry(index, folder.c_str());
    } catch (const CZipException& e) {
        code = e.code;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "entry " << index << " threw something else than CZipException: " << e.what();
    }
    archive.CloseEntry(nullptr, true);
    return false;
}

TEST(CorpusExtract, Sha256KnownAnswers) {
    // FIPS 180-4 examples: no block, one block, and padding that needs a second block.
    EXPECT_EQ(ziptest::Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(ziptest::Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(ziptest::Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(CorpusExtract, EveryArchiveAndEntryAsTheManifestSays) {
    std::ifstream probe(corpus + "MANIFEST.tsv");
    if (!probe) {
        if (std::getenv("CI"))
            FAIL() << "corpus not found at " << corpus;
        GTEST_SKIP() << "corpus not found at " << corpus;
    }
    std::map<std::string, std::vector<ExpectedEntry>> entries;
    for (const auto& row : ReadTable(corpus + "EXPECTED-ENTRIES.tsv")) {
        ASSERT_GE(row.size(), 9u);
        entries[row[0]].push_back({row[8], row.size() > 9 ? row[9] : ""});
    }

    Tally archives, entryTally;
    for (const auto& row : ReadTable(corpus + "MANIFEST.tsv")) {
        ASSERT_GE(row.size(), 5u);
        const std::string& file = row[0];
        const std::string& expected = row[4];
        const std::string password = row.size() > 5 ? row[5] : "";
        Want opening = OpeningWanted(row[3], expected);
        const Deviation* openingDeviation = FindDeviation(file, -1);
        if (openingDeviation)
            opening = openingDeviation->ours;
        EndWatchingStream stream(ziptest::ReadFile(corpus + file), corpus + file);
        CZipArchive archive;
        const bool fromFile = NeedsVolumeFiles(row[3], expected);
        int openCode = 0;
        try {
            if (fromFile)
                archive.Open((corpus + file).c_str());
            else
                archive.Open(stream);
        } catch (const CZipException& e) {
            openCode = e.code;
        } catch (const std::exception& e) {
            ADD_FAILURE() << file << ": opening threw something else than CZipException: " << e.what();
            openCode = -1;
        }
        const bool opened = openCode == 0;
        const bool openingAccepted = opening == Want::Either || opened == (opening == Want::Done);
        EXPECT_TRUE(openingAccepted) << file << ": opening should " << Describe(opening) << " (" << expected
                                     << "); code " << openCode;
        EXPECT_FALSE(opened && stream.readsPastEnd > 0) << file << ": opened after reading past the end";
        archives.Count(opened == (OpeningWanted(row[3], expected) == Want::Done), openingDeviation, openingAccepted);
        if (!opened)
            continue;

        const std::vector<ExpectedEntry>& listed = entries[file];
        if (opening == Want::Done && !listed.empty()) {
            EXPECT_EQ(archive.GetCount(), static_cast<int>(listed.size())) << file;
        }
        CTempDir out;
        for (int i = 0; i < archive.GetCount(); ++i) {
            const auto index = static_cast<std::uint32_t>(i);
            CZipEntryHeader header;
            archive.GetEntryInfo(header, index);
            archive.SetPassword(password.c_str());
            const int readsBefore = stream.readsPastEnd;
            int code = 0;
            const bool ok = Extract(archive, index, out.Path(), code);
            const std::string where = file + " entry " + std::to_string(i) + " (" + header.GetFileName() + ")";
            EXPECT_FALSE(ok && stream.readsPastEnd > readsBefore) << where << ": extracted after reading past the end";

            // Entries of an archive that need not open are not always listed.
            const ExpectedEntry want = i < static_cast<int>(listed.size()) ? listed[static_cast<std::size_t>(i)]
                                                                           : ExpectedEntry{"unlisted", ""};
            Want outcome = want.result == "ok" ? Want::Done : want.result == "unlisted" ? Want::Either : Want::Fails;
            // Out of scope: whatever comes out must be right, and failing is fine.
            if (opening == Want::Either && outcome == Want::Done)
                outcome = Want::Either;
            // The manifest was written when only stored and deflated entries were read. The methods
            // read since come out (their CRC checked); under AES the real method may still be one
            // that is not read, or the code may not match, so those may fail.
            const std::size_t methodAt = want.result.find(unsupportedMethod);
            if (methodAt != std::string::npos) {
                const int method = std::atoi(want.result.c_str() + methodAt + sizeof unsupportedMethod - 1);
                if (method == 99)
                    outcome = Want::Either;
                else if (ZipCodecTable::Decodes(static_cast<std::uint16_t>(method)))
                    outcome = Want::Done;
            }
            // A folder is made without opening its entry: damage there is never seen.
            if (header.IsDirectory() && outcome == Want::Fails)
                outcome = Want::Either;
            const Deviation* deviation = FindDeviation(file, i);
            if (deviation)
                outcome = deviation->ours;
            const bool entryAgrees = outcome == Want::Either || ok == (outcome == Want::Done);
            EXPECT_TRUE(entryAgrees) << where << " should " << Describe(outcome) << " (" << want.result
                                     << (deviation ? std::string(": ") + deviation->reason : "") << "); code " << code;
            const bool anotherEntry = deviation != nullptr && deviation->ours == Want::Either;
            if (ok && !header.IsDirectory() && !want.sha256.empty() && !anotherEntry) {
                std::string path = archive.ComposeExtractPath(header.GetFileName(), out.Path().c_str(), true, nullptr);
                for (char& c : path)
                    if (c == '\\')
                        c = '/';
                // A link's data is its target: the link holds it, not a file.
                const std::string bytes = header.IsSymbolicLink() ? LinkTarget(path) : ziptest::ReadFile(path);
                EXPECT_EQ(ziptest::Sha256Hex(bytes), want.sha256) << where;
            }
            entryTally.Count(want.result != "unlisted" && ok == (want.result == "ok"), deviation, entryAgrees);
        }
        archive.Close(1);
    }
    std::cout << "corpus archives opening: " << archives << "\ncorpus entries extracting: " << entryTally << "\n";
}

} // namespace
