// What already stands below the target (links out of it, a folder or a file in the way, read-only
// folders), and a disk that fills up in the middle of a file.
#include "HostileCase.h"

#include <sys/stat.h>

namespace {

using namespace ziptest;

const std::string target = "box/in/setup/";
const std::string inTheWay = "v ceste je soubor stejneho jmena jako slozka";
const std::string toOutside = "../../../outside"; // from the target folder to the sandbox's outside/

HostileCase DiskRow(std::string label, std::function<void(CSandbox&)> prepare, std::vector<Entry> entries,
                    std::vector<Expect> expected) {
    HostileCase row;
    row.label = std::move(label);
    entries.push_back(File("good.txt", "fine"));
    expected.push_back(Ok("good.txt", "fine"));
    row.build = [prepare, entries](CSandbox& sandbox) {
        prepare(sandbox);
        return BuildArchive(entries);
    };
    row.entries = std::move(expected);
    return row;
}

unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 0;
}

Entry ReadOnlyDir(const std::string& name) {
    Entry dir = Dir(name);
    dir.externalAttr = UnixAttributes(040555) | dosDirectory;
    return dir;
}

const HostileCase diskCases[] = {
    DiskRow(
        "symlinked folder inside the target",
        [](CSandbox& sandbox) { sandbox.Symlink(target + "sub", toOutside); },
        {File("sub/secret.txt", "evil"), File("sub/new.txt", "evil"), File("sub/deeper/new.txt", "evil")},
        {Refused("sub/secret.txt"), Refused("sub/new.txt"), Refused("sub/deeper/new.txt")}),
    // The link itself is replaced; what it points to, existing or not, is never written.
    DiskRow(
        "symlinks at the final path",
        [](CSandbox& sandbox) {
            sandbox.Symlink(target + "secret.txt", toOutside + "/secret.txt");
            sandbox.Symlink(target + "readonly.txt", toOutside + "/readonly.txt");
            sandbox.Symlink(target + "dangling.txt", toOutside + "/new.txt");
        },
        {File("secret.txt", "new"), File("readonly.txt", "new"), File("dangling.txt", "new")},
        {Ok("secret.txt", "new"), Ok("readonly.txt", "new"), Ok("dangling.txt", "new")}),
    // A hard link shares the outside file's contents and mode: neither may change.
    DiskRow(
        "hard links at the final path",
        [](CSandbox& sandbox) {
            sandbox.HardLink(target + "secret.txt", "outside/secret.txt");
            sandbox.HardLink(target + "readonly.txt", "outside/readonly.txt");
        },
        {File("secret.txt", "new"), File("readonly.txt", "new")},
        {Ok("secret.txt", "new"), Ok("readonly.txt", "new")}),
    // A file whose entry fails stays exactly as it was, read-only bit included.
    [] {
        Entry damaged = File("ro.txt", "new");
        damaged.local.crc = damaged.central.crc = 1;
        HostileCase row = DiskRow(
            "read-only file whose entry fails",
            [](CSandbox& sandbox) { sandbox.Write(target + "ro.txt", "older", 0444); }, {damaged}, {Refused("ro.txt")});
        row.verify = [](const CSandbox& sandbox) { EXPECT_EQ(ModeOf(sandbox.Path(target + "ro.txt")), 0444u); };
        return row;
    }(),
    DiskRow(
        "folder where a file goes",
        [](CSandbox& sandbox) { sandbox.Write(target + "x.txt/inner.txt", "keep"); },
        {File("x.txt", "new")}, {Refused("x.txt", "v ceste je slozka stejneho jmena")}),
    DiskRow(
        "file where a folder goes", [](CSandbox& sandbox) { sandbox.Write(target + "d", "a file"); },
        {File("d/y.txt", "new"), Dir("d/"), File("d/e/z.txt", "new")},
        {Refused("d/y.txt", inTheWay), Refused("d/", inTheWay), Refused("d/e/z.txt", inTheWay)}),
    DiskRow(
        "read-only folder listed before its files", [](CSandbox&) {},
        {ReadOnlyDir("ro"), File("ro/a.txt", "a"), ReadOnlyDir("ro/sub"), File("ro/sub/b.txt", "b")},
        {Made("ro/"), Ok("ro/a.txt", "a", "ro/a.txt"), Made("ro/sub/"), Ok("ro/sub/b.txt", "b", "ro/sub/b.txt")}),
};
HOSTILE_CASES(OnDisk, diskCases);

// A symbolic link as Info-ZIP zip -y stores it: the target as the entry's data, mode 0120777.
Entry Link(std::string name, std::string pointsTo, std::uint16_t method = methodStored) {
    Entry link = File(std::move(name), std::move(pointsTo), method);
    link.externalAttr = UnixAttributes(0120777);
    return link;
}

Entry Encrypted(Entry entry, std::string password) {
    entry.password = std::move(password);
    return entry;
}

// Links are made as stored, even when they point out of the target: nothing of ours follows one.
const HostileCase linkCases[] = {
    DiskRow(
        "links out, through and over each other", [](CSandbox&) {},
        {Link("out", toOutside), File("out/secret.txt", "evil"), Dir("out/"), File("out/new/deeper.txt", "evil"),
         Link("out/inner", "x"), Link("l1", toOutside + "/secret.txt"), File("l1", "file now"), Link("l2", "first"),
         Link("l2", "second")},
        {Linked("out", toOutside), Refused("out/secret.txt"), Refused("out/"), Refused("out/new/deeper.txt"),
         Refused("out/inner"), Made("l1"), Ok("l1", "file now"), Made("l2"), Linked("l2", "second")}),
    // What stands at a link's path is replaced, never what a link there points to; a folder stays.
    DiskRow(
        "link at the path of a file, a link and a folder",
        [](CSandbox& sandbox) {
            sandbox.Write(target + "file.txt", "older", 0444);
            sandbox.Symlink(target + "secret.txt", toOutside + "/secret.txt");
            sandbox.Symlink(target + "dangling", toOutside + "/new.txt");
            sandbox.Write(target + "folder/inner.txt", "keep");
        },
        {Link("file.txt", "a"), Link("secret.txt", "b", methodDeflated), Link("dangling", "c"), Link("folder", "d")},
        {Linked("file.txt", "a"), Linked("secret.txt", "b"), Linked("dangling", "c"), Refused("folder")}),
    // The longest target the system takes; one byte more, a zero byte, nothing at all, damage or a
    // wrong password fail; only a UNIX host's mode makes a link (from DOS it is a file of the text).
    [] {
        Entry damaged = Link("damaged", "x");
        damaged.local.crc = damaged.central.crc = 1;
        Entry shortened = Link("shortened", "abcdef", methodDeflated);
        shortened.local.uncompressedSize = shortened.central.uncompressedSize = 3;
        Entry dos = Link("dos", "text");
        dos.hostSystem = hostDos;
        HostileCase row = DiskRow(
            "link targets", [](CSandbox&) {},
            {Link("longest", std::string(4095, 'a')), Link("too long", std::string(4096, 'a'), methodDeflated),
             Link("zero byte", std::string("a\0b", 3)), Link("empty", ""), damaged, shortened,
             Encrypted(Link("secret", "t"), "heslo"), Encrypted(Link("other key", "t"), "jine"), dos},
            {Linked("longest", std::string(4095, 'a')), Refused("too long", "jmeno je pro system prilis dlouhe"),
             Refused("zero byte", "nepripustne jmeno"), Refused("empty", "nepripustne jmeno"),
             Refused("damaged", "poskozena data: nesouhlasi kontrolni soucet (CRC)"),
             Refused("shortened", "poskozena data: vice dat, nez uvadi hlavicka"), Linked("secret", "t"),
             Refused("other key", "nespravne heslo"), Ok("dos", "text")});
        row.password = "heslo";
        return row;
    }(),
};
HOSTILE_CASES(Links, linkCases);

// Room for the program and the small files, not for the big one.
constexpr unsigned long long roomBesideProgram = 1 << 20;
const std::string bigData(4 << 20, 'z');

// The disk fills up in the middle of big.bin: it fails, the older big.bin stays as it was, and
// nothing of the new one is left; the entries around it come out. Alone in its archive, big.bin is
// extracted on one thread with its writes behind the decoding, on a second.
HostileCase DiskFullRow(std::string label, std::function<bool(CSandbox&)> canRun, unsigned long long fileSizeLimit,
                        std::string cause, bool alone = false) {
    HostileCase row;
    row.label = std::move(label);
    row.canRun = std::move(canRun);
    row.fileSizeLimit = fileSizeLimit;
    row.build = [alone](CSandbox& sandbox) {
        sandbox.Write(target + "big.bin", "older contents");
        if (alone)
            return BuildArchive({File("big.bin", bigData)});
        return BuildArchive({File("first.txt", "1"), File("big.bin", bigData), File("good.txt", "fine")});
    };
    row.entries = {Ok("first.txt", "1"), Refused("big.bin", std::move(cause)), Ok("good.txt", "fine")};
    if (alone)
        row.entries = {row.entries[1]};
    return row;
}

const HostileCase diskFullCases[] = {
    DiskFullRow(
        "small tmpfs", [](CSandbox& sandbox) { return sandbox.MountTmpfs(roomBesideProgram); }, 0,
        "na disku neni dost mista"),
    DiskFullRow("file size limit", nullptr, roomBesideProgram, "soubor je pro system prilis velky"),
    DiskFullRow(
        "small tmpfs, one big entry", [](CSandbox& sandbox) { return sandbox.MountTmpfs(roomBesideProgram); }, 0,
        "na disku neni dost mista", true),
    DiskFullRow("file size limit, one big entry", nullptr, roomBesideProgram, "soubor je pro system prilis velky",
                true),
    [] {
        HostileCase row;
        row.label = "read-only file system";
        row.canRun = [](CSandbox& sandbox) { return sandbox.MountReadOnly(target); };
        row.build = Build({File("a.txt", "a"), File("d/b.txt", "b"), Dir("e/")});
        const std::string readOnly = "disk je jen pro cteni";
        row.entries = {Refused("a.txt", readOnly), Refused("d/b.txt", readOnly), Refused("e/", readOnly)};
        return row;
    }(),
};
HOSTILE_CASES(DiskFull, diskFullCases);

} // namespace
