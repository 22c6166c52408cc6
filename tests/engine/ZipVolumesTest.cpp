// Multi-volume reading: volume names, detection, reads that cross volumes,
// records cut by a volume end, missing and odd volume files, removable disks
// and a stub in front of the last volume.
#include "support/MemoryStream.h"
#include "support/TempDir.h"
#include "support/ZipTestWriter.h"

#include "engine/ZipArchive.h"
#include "engine/ZipCentralDir.h"
#include "engine/ZipException.h"
#include "engine/ZipVolumeCallback.h"
#include "platform/ZipOsPosixPath.h"
#include "platform/ZipPathParts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace ziptest;

class Archive : public CZipArchive {
  public:
    using CZipArchive::centralDir;
    using CZipArchive::storage;
};

template <typename Action> int Code(Action action, std::string* file = nullptr) {
    try {
        action();
        return 0;
    } catch (const CZipException& e) {
        if (file)
            *file = e.fileName;
        return e.code;
    }
}

// The stored bytes of an entry, read as the entry reader reads them, with the
// descriptor checked. Throws CZipException; the entry is closed either way.
std::string ReadStored(CZipCentralDir& dir, CZipArchiveStorage& storage, std::uint16_t index) {
    try {
        dir.OpenEntry(index);
        std::string bytes(dir.currentHeader->compressedSize, '\0');
        storage.Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), false);
        dir.CloseEntry(false);
        return bytes;
    } catch (...) {
        dir.CloseEntry(true);
        throw;
    }
}
std::string ReadStored(Archive& archive, std::uint16_t index) {
    return ReadStored(archive.centralDir, archive.storage, index);
}

Entry Stored(const std::string& name, const std::string& data) { return File(name, data, methodStored); }

std::string Bytes(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + static_cast<char>(i * 7 % 251));
    return bytes;
}

// Every entry reads back with its data, or fails with the expected code.
void ExpectEntries(Archive& archive, const std::vector<Entry>& entries, const std::string& label, int failing = -1,
                   int failCode = 0) {
    ASSERT_EQ(archive.GetCount(), static_cast<int>(entries.size())) << label;
    for (std::uint16_t i = 0; i < entries.size(); ++i) {
        std::string data;
        const int code = Code([&] { data = ReadStored(archive, i); });
        EXPECT_EQ(code, i == failing ? failCode : 0) << label << ", entry " << i;
        if (code == 0) {
            EXPECT_EQ(data, entries[i].data) << label << ", entry " << i;
        }
    }
}

struct NameRow {
    const char* archive;
    int volume; // the volume whose name is asked for
    bool isLast;
    const char* expected;
    // The archive's own path (from the OS) gives its volumes with every other byte kept; null: as above.
    const char* own = nullptr;
};

TEST(ZipVolumes, VolumeNames) {
    const NameRow rows[] = {
        {"archive.exe", 0, false, "archive.z01"},
        {"archive.exe", 8, false, "archive.z09"},
        {"archive.exe", 9, false, "archive.z10"},
        {"archive.exe", 98, false, "archive.z99"},
        {"archive.exe", 99, false, "archive.z100"},
        {"archive.exe", 998, false, "archive.z999"},
        {"archive.exe", 999, false, "archive.z1000"},
        {"archive.exe", 2, true, "archive.exe"},
        {"setup", 0, false, "setup.z01"}, // no extension at all
        {"setup", 1, true, "setup"},
        {"dir/a.zip", 1, false, "dir\\a.z02", "dir/a.z02"},
        {"./a.zip", 0, false, ".\\a.z01", "./a.z01"},
        {"/tmp/x.d/setup.run", 0, false, "/tmp/x.d\\setup.z01", "/tmp/x.d/setup.z01"},
        {"/setup.run", 0, false, "\\setup.z01", "/setup.z01"}, // stays at the root
        {"dir\\\\sub//a.zip", 0, false, "dir\\\\sub\\a.z01", "dir\\\\sub//a.z01"},
        {"/tmp/a\\b.d/set\\up.run", 0, false, "/tmp/a\\b.d/set\\up.z01", "/tmp/a\\b.d/set\\up.z01"},
        {"/tmp/v1.2/setup", 0, false, "/tmp/v1.2\\setup.z01", "/tmp/v1.2/setup.z01"},
    };
    for (const NameRow& row : rows) {
        CZipArchiveStorage storage;
        storage.archiveExtension = CZipPathParts(row.archive).GetExtension();
        storage.currentVolume = row.volume;
        EXPECT_EQ(storage.GetVolumeName(row.isLast, row.archive), row.expected) << row.archive << " " << row.volume;
        storage.archivePath = row.archive; // the default base
        EXPECT_EQ(storage.GetVolumeName(row.isLast), row.own != nullptr ? row.own : row.expected)
            << row.archive << " " << row.volume;
    }
}

// One entry starts on each of three volumes; entry 1's data runs on from the
// middle volume into the last one, which also holds the directory.
constexpr std::uint64_t threeVolumeSize = 220;
std::vector<Entry> ThreeVolumeEntries() {
    return {Stored("one", Bytes(170, 'a')), Stored("two", Bytes(200, 'b')), Stored("three", "3")};
}

// A split set on disk whose last volume is Folder()/archive.exe.
class VolumeSet {
  public:
    explicit VolumeSet(const std::vector<std::string>& volumes, const char* name = "archive.exe")
        : last(dir.Join(name)), paths(WriteVolumes(last, volumes)) {}
    std::string Volume(std::size_t index) const { return paths.at(index); }

    CTempDir dir;
    std::string last;
    std::vector<std::string> paths;
};

TEST(ZipVolumes, ThreeVolumesOpenedOnTheLast) {
    const std::vector<Entry> entries = ThreeVolumeEntries();
    Layout layout;
    const VolumeSet set(BuildSplitArchive(entries, threeVolumeSize, {}, &layout));
    ASSERT_EQ(set.paths.size(), 3u);
    Archive archive;
    archive.Open(set.last.c_str());
    EXPECT_EQ(archive.storage.volumeMode, CZipArchiveStorage::SplitFiles);
    EXPECT_EQ(archive.storage.GetVolumeState(), -1);
    EXPECT_EQ(archive.storage.lastVolume, 2);
    EXPECT_EQ(archive.storage.archiveExtension, "exe");
    EXPECT_EQ(archive.centralDir.info.bytesBeforeArchive, 0u);
    ExpectEntries(archive, entries, "three volumes");
    // Each entry's local header came from the file of its volume.
    for (std::uint16_t i = 0; i < entries.size(); ++i) {
        archive.centralDir.OpenEntry(i);
        const Place local = layout.localHeader[i];
        EXPECT_EQ(archive.storage.GetCurrentVolume(), static_cast<int>(local.volume));
        EXPECT_EQ(ZipOs::ToNativePath(archive.storage.GetFile()->GetFilePath()), set.Volume(local.volume));
        archive.centralDir.CloseEntry(true);
    }
    archive.Close();
    EXPECT_TRUE(archive.storage.diskFile.IsClosed());
}

TEST(ZipVolumes, ChangeToTheCurrentVolumeDoesNotReopen) {
    const VolumeSet set(BuildSplitArchive({Stored("a", Bytes(300, 'a'))}, 200));
    Archive archive;
    archive.Open(set.last.c_str());
    CZipStream* file = archive.storage.GetFile();
    file->Seek(5, CZipStream::FromBegin);
    // Reopening would fail now, or at least move back to the start.
    ASSERT_EQ(std::remove(set.last.c_str()), 0);
    archive.storage.ChangeVolume(archive.storage.GetCurrentVolume());
    EXPECT_EQ(file->GetPosition(), 5);
}

// Data that runs over more than a hundred volumes, so that z100 and later are read too.
TEST(ZipVolumes, DataRunsAcrossManyVolumes) {
    Entry described = Stored("described", Bytes(500, 'd'));
    described.dataDescriptor = true;
    described.descriptorSignature = false;
    const std::vector<Entry> entries = {Stored("big", Bytes(12000, 'b')), described, Stored("small", "s")};
    const VolumeSet set(BuildSplitArchive(entries, 100));
    ASSERT_GT(set.paths.size(), 120u);
    Archive archive;
    archive.Open(set.last.c_str());
    ExpectEntries(archive, entries, "many volumes");
}

// Records cut at a chosen byte: a padding entry comes first, so that the cut
// lies past the middle and the set has exactly one volume end.
struct CutRow {
    const char* label;
    std::uint64_t (*cutAt)(const Layout& single);
    int openCode;
    int entry; // the entry that fails, -1 none
    int entryCode;
};

const std::vector<Entry>& CutEntries() {
    static const std::vector<Entry> entries = [] {
        Entry extra = Stored("e.txt", "echo");
        extra.localExtra = std::string("\x99\x99\x08\x00"
                                       "12345678",
                                       12);
        Entry bare = Stored("d.txt", "delta delta");
        bare.dataDescriptor = true;
        bare.descriptorSignature = false;
        Entry marked = Stored("m.txt", "mike");
        marked.dataDescriptor = true;
        return std::vector<Entry>{Stored("pad.bin", Bytes(4000, 'p')), extra, bare, marked, Stored("p.txt", "papa")};
    }();
    return entries;
}

TEST(ZipVolumes, RecordsCutByAVolumeEnd) {
    const CutRow rows[] = {
        {"central header cut in its fixed part", [](const Layout& l) { return l.centralHeader[1] + 20; },
         CZipException::BadArchive, -1, 0},
        {"central header cut in its name", [](const Layout& l) { return l.centralHeader[1] + 48; },
         CZipException::BadArchive, -1, 0},
        {"central header starts the next volume", [](const Layout& l) { return l.centralHeader[1].offset; }, 0, -1, 0},
        {"local header cut in its fixed part", [](const Layout& l) { return l.localHeader[1] + 10; }, 0, 1,
         CZipException::BadArchive},
        {"local name cut", [](const Layout& l) { return l.localHeader[4] + 32; }, 0, 4, CZipException::BadArchive},
        {"local extra field cut", [](const Layout& l) { return l.localHeader[1] + 30 + 5 + 4; }, 0, 1,
         CZipException::BadArchive},
        {"local extra field starts the next volume", [](const Layout& l) { return l.localHeader[1] + 30 + 5; }, 0, 1,
         CZipException::BadArchive},
        {"local header starts the next volume", [](const Layout& l) { return l.localHeader[1].offset; }, 0, -1, 0},
        {"data cut", [](const Layout& l) { return l.data[2] + 3; }, 0, -1, 0},
        {"descriptor without signature cut", [](const Layout& l) { return l.descriptor[2] + 2; }, 0, -1, 0},
        {"descriptor without signature starts the next volume", [](const Layout& l) { return l.descriptor[2].offset; },
         0, -1, 0},
        {"descriptor cut in its signature", [](const Layout& l) { return l.descriptor[3] + 2; }, 0, -1, 0},
    };
    Layout single;
    BuildArchive(CutEntries(), {}, &single);
    for (const CutRow& row : rows) {
        SplitOptions options;
        options.headersMayStraddle = true;
        options.spanningMarker = false; // positions as in the single archive
        const VolumeSet set(BuildSplitArchive(CutEntries(), row.cutAt(single), options));
        ASSERT_EQ(set.paths.size(), 2u) << row.label;
        Archive archive;
        EXPECT_EQ(Code([&] { archive.Open(set.last.c_str()); }), row.openCode) << row.label;
        if (row.openCode == 0)
            ExpectEntries(archive, CutEntries(), row.label, row.entry, row.entryCode);
    }
}

TEST(ZipVolumes, MissingVolumeFailsTheEntriesThatNeedIt) {
    const std::vector<Entry> entries = ThreeVolumeEntries();
    const VolumeSet set(BuildSplitArchive(entries, threeVolumeSize));
    ASSERT_EQ(set.paths.size(), 3u);
    ASSERT_EQ(std::remove(set.Volume(1).c_str()), 0);
    Archive archive;
    archive.Open(set.last.c_str()); // the directory lies on the last volume
    // Entry 1 lies on the missing volume. Asking again tries the volume again,
    // and the volumes that are there still read.
    for (int pass = 0; pass < 2; ++pass) {
        std::string file;
        EXPECT_EQ(Code([&] { ReadStored(archive, 1); }, &file), ENOENT);
        EXPECT_EQ(ZipOs::ToNativePath(file), set.Volume(1));
        EXPECT_EQ(Code([&] { ReadStored(archive, 1); }), ENOENT);
        EXPECT_EQ(ReadStored(archive, 0), entries[0].data);
        EXPECT_EQ(ReadStored(archive, 2), "3");
    }
    archive.Close();

    // With the directory on the missing volume the open itself fails.
    SplitOptions options;
    options.headersMayStraddle = true;
    const VolumeSet cut(BuildSplitArchive({Stored("a", Bytes(400, 'a')), Stored("b", "b")}, 500, options));
    ASSERT_EQ(cut.paths.size(), 2u);
    ASSERT_EQ(std::remove(cut.Volume(0).c_str()), 0);
    Archive failed;
    EXPECT_EQ(Code([&] { failed.Open(cut.last.c_str()); }), ENOENT);
    EXPECT_TRUE(failed.IsClosed(true));
    EXPECT_TRUE(failed.IsClosed(false));
}

TEST(ZipVolumes, ReadingPastTheLastVolumeIsDamage) {
    Entry longer = Stored("long", Bytes(300, 'l'));
    const VolumeSet set(BuildSplitArchive({longer}, 200));
    // A stray file under the next number is not part of the set.
    const std::size_t count = set.paths.size();
    WriteFile(VolumePath(set.last, count, count + 2), Bytes(4000, 'x'));
    Archive archive;
    archive.Open(set.last.c_str());
    archive.centralDir.OpenEntry(0);
    std::string bytes(5000, '\0');
    EXPECT_EQ(Code([&] { archive.storage.Read(bytes.data(), 5000, false); }), CZipException::BadArchive);
}

TEST(ZipVolumes, VolumeFilesMustBeRegularFiles) {
    const std::vector<Entry> entries = ThreeVolumeEntries();
    struct Row {
        const char* label;
        int (*make)(const std::string& volume, const std::string& real);
        int code;
    } rows[] = {
        {"FIFO", [](const std::string& v, const std::string&) { return ::mkfifo(v.c_str(), 0644); }, EINVAL},
        {"directory", [](const std::string& v, const std::string&) { return ::mkdir(v.c_str(), 0755); }, EISDIR},
        {"symlink to a device",
         [](const std::string& v, const std::string&) { return ::symlink("/dev/zero", v.c_str()); }, EINVAL},
        {"symlink to the real volume",
         [](const std::string& v, const std::string& real) { return ::symlink(real.c_str(), v.c_str()); }, 0},
    };
    for (const Row& row : rows) {
        const VolumeSet set(BuildSplitArchive(entries, threeVolumeSize));
        const std::string real = set.dir.Join("real.z01");
        ASSERT_EQ(std::rename(set.Volume(0).c_str(), real.c_str()), 0);
        ASSERT_EQ(row.make(set.Volume(0), real), 0) << row.label;
        Archive archive;
        archive.Open(set.last.c_str());
        EXPECT_EQ(Code([&] { ReadStored(archive, 0); }), row.code) << row.label;
        EXPECT_EQ(ReadStored(archive, 1), entries[1].data) << row.label;
    }
}

TEST(ZipVolumes, VolumeSizeWithASingleFile) {
    Options options;
    options.stub = "MZ stub";
    const std::vector<Entry> entries = {Stored("a", "alpha"), Stored("b", "bravo")};
    CTempDir dir;
    const std::string path = WriteFile(dir.Join("archive.exe"), BuildArchive(entries, options));
    Archive archive;
    archive.Open(path.c_str(), CZipArchive::ModeReadOnly, 65536);
    EXPECT_EQ(archive.storage.volumeMode, CZipArchiveStorage::NoVolumes);
    EXPECT_EQ(archive.storage.GetVolumeState(), 0);
    EXPECT_EQ(archive.storage.archiveExtension, "zip"); // left as it was
    ExpectEntries(archive, entries, "single file");
}

TEST(ZipVolumes, CallersStreamHasNoSiblingVolumes) {
    const std::vector<Entry> entries = {Stored("one", Bytes(150, 'a')), Stored("two", "2")};
    const std::vector<std::string> volumes = BuildSplitArchive(entries, 200);
    ASSERT_EQ(volumes.size(), 2u);
    MemoryStream stream(volumes.back());
    Archive archive;
    archive.Open(stream);
    EXPECT_EQ(Code([&] { ReadStored(archive, 0); }), ENOENT);
    EXPECT_EQ(ReadStored(archive, 1), "2");
    EXPECT_FALSE(stream.IsClosed());
}

// A removable drive, as a system that has them would report it.
class RemovableStorage : public CZipArchiveStorage {
  protected:
    bool IsRemovableDrive(const std::string&) const override { return true; }
};

// Puts the asked-for disk into the drive: writes that volume under the one name.
class DiskChanger : public CZipVolumeCallback {
  public:
    explicit DiskChanger(std::vector<std::string> disks) : disks(std::move(disks)) {}
    bool Notify(int code) override {
        asked.push_back(volumeNumber);
        EXPECT_EQ(code, NeedVolumeForReading);
        if (refuse)
            return false;
        WriteFile(volumePath, disks.at(static_cast<std::size_t>(volumeNumber - 1)));
        return true;
    }
    std::vector<std::string> disks;
    std::vector<int> asked;
    bool refuse = false;
};

TEST(ZipVolumes, RemovableDisks) {
    const std::vector<Entry> entries = ThreeVolumeEntries();
    const std::vector<std::string> volumes = BuildSplitArchive(entries, threeVolumeSize);
    ASSERT_EQ(volumes.size(), 3u);
    CTempDir dir;
    const std::string path = WriteFile(dir.Join("archive.zip"), volumes.back());
    RemovableStorage storage;
    CZipCentralDir centralDir;
    centralDir.storage = &storage;
    const auto open = [&](int volumeSize) {
        return Code([&] {
            storage.Close(true);
            WriteFile(path, volumes.back());
            storage.Open(path.c_str(), CZipArchive::ModeReadOnly, volumeSize);
            centralDir.Clear();
            centralDir.Read();
        });
    };

    // Without a callback no disk can be asked for: the set is read as split files beside it.
    EXPECT_EQ(open(0), 0);
    EXPECT_EQ(storage.volumeMode, CZipArchiveStorage::SplitFiles);

    DiskChanger changer(volumes);
    storage.volumeCallback = &changer;
    ASSERT_EQ(open(0), 0);
    EXPECT_EQ(storage.volumeMode, CZipArchiveStorage::RemovableDisks);
    for (std::uint16_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(ReadStored(centralDir, storage, i), entries[i].data) << i;
    EXPECT_EQ(changer.asked, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(changer.volumePath, path);

    changer.refuse = true;
    std::string file;
    EXPECT_EQ(Code([&] { ReadStored(centralDir, storage, 0); }, &file), CZipException::VolumeChangeAborted);
    EXPECT_EQ(file, path);

    // Opened with a volume size the set is taken as split files, whatever the drive.
    EXPECT_EQ(open(65536), 0);
    EXPECT_EQ(storage.volumeMode, CZipArchiveStorage::SplitFiles);
    storage.Close(true);
}

// The stub of a self-extractor in front of the last volume, as `cat stub last.zip` makes it.
TEST(ZipVolumes, StubInFrontOfTheLastVolume) {
    const std::vector<Entry> entries = ThreeVolumeEntries();
    struct Row {
        const char* label;
        std::string stub;
        std::int64_t cdOffsetChange; // added to the end record's directory offset (its ZIP64 one with zip64)
        int openCode;
        bool zip64 = false;
        bool locatorApart = false; // the ZIP64 end record on the volume before the end record's
    } rows[] = {
        {"no stub", "", 0, 0},
        {"stub", "MZ" + Bytes(777, 's'), 0, 0},
        {"directory offset past the end record", "", 1, CZipException::BadArchive},
        {"stub shorter than the offsets say", "MZ", 3, CZipException::BadArchive},
        {"ZIP64 records, stub", "MZ" + Bytes(777, 's'), 0, 0, true},
        {"ZIP64 directory offset past its record", "", 1, CZipException::BadArchive, true},
        {"ZIP64 end record on the volume before, stub", "MZ" + Bytes(777, 's'), 0, 0, true, true},
        {"ZIP64 end record on the volume before, no stub", "", 0, 0, true, true},
    };
    for (const Row& row : rows) {
        Layout layout;
        SplitOptions options;
        options.zip64EndRecord = row.zip64;
        options.zip64LocatorApart = row.locatorApart;
        std::vector<std::string> volumes = BuildSplitArchive(entries, threeVolumeSize, options, &layout);
        // The ZIP64 records take a volume more, the locator apart one more again.
        ASSERT_EQ(volumes.size(), 3u + row.zip64 + row.locatorApart) << row.label;
        ASSERT_EQ(layout.data[1].volume, 1u);
        ASSERT_EQ(layout.localHeader[2].volume, 2u);
        if (row.zip64) {
            std::string& holder = volumes[layout.zip64EndRecord.volume];
            const std::uint64_t field = layout.zip64EndRecord + zip64CdOffsetOffset;
            PutLE64(holder, field, GetLE64(holder, field) + static_cast<std::uint64_t>(row.cdOffsetChange));
        }
        std::string& last = volumes.back();
        const std::uint64_t cdOffsetField = layout.endRecord + endCdOffsetOffset;
        if (!row.zip64)
            PutLE32(last, cdOffsetField, static_cast<std::uint32_t>(GetLE32(last, cdOffsetField) + row.cdOffsetChange));
        last = row.stub + last;
        const VolumeSet set(volumes, "setup.run");
        Archive archive;
        EXPECT_EQ(Code([&] { archive.Open(set.last.c_str()); }), row.openCode) << row.label;
        if (row.openCode != 0)
            continue;
        EXPECT_EQ(archive.centralDir.info.bytesBeforeArchive, row.stub.size()) << row.label;
        ExpectEntries(archive, entries, row.label);
    }
}

} // namespace
