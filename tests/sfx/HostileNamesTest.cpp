// Hostile entry names, and names that would make the program replace itself: each hostile entry is
// followed by a good sibling that must still come out.
#include "HostileCase.h"

namespace {

using namespace ziptest;

std::string Repeat(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

const std::string goodName = "good.txt";
const std::string goodData = "fine";

// The hostile entry, then a good sibling.
HostileCase NameRow(std::string label, std::function<Entry(CSandbox&)> hostile, Expect expect) {
    HostileCase row;
    row.label = std::move(label);
    row.build = [hostile](CSandbox& sandbox) { return BuildArchive({hostile(sandbox), File(goodName, goodData)}); };
    row.entries = {std::move(expect), Ok(goodName, goodData)};
    return row;
}

HostileCase NameRow(std::string label, Entry hostile, Expect expect) {
    return NameRow(std::move(label), [hostile](CSandbox&) { return hostile; }, std::move(expect));
}

// The name an Info-ZIP Unicode Path block gives in place of the header's, which it matches.
Entry WithUnicodePath(Entry entry, const std::string& name) {
    entry.centralExtra = UnicodePathBlock(entry.name, name);
    return entry;
}

const std::string deepName = Repeat("n/", 2000) + "f.txt";
const std::string longestName = Repeat("a/", 32767) + "b"; // 65 535 bytes, the most a header holds

const HostileCase nameCases[] = {
    NameRow("parent", File("../x.txt", "evil"), Refused("../x.txt", "cesta by vedla mimo cilovou slozku")),
    NameRow("parent from DOS", DosFile("../x.txt", "evil"), Refused("../x.txt")),
    NameRow("back out through a folder", File("a/../../x.txt", "evil"), Refused("a/../../x.txt")),
    NameRow("back out through a folder from DOS", DosFile("a/../../x.txt", "evil"), Refused("a/../../x.txt")),
    NameRow("three levels up", File("../../../x.txt", "evil"), Refused("../../../x.txt")),
    NameRow("backslash parent from UNIX", File("..\\x.txt", "evil"), Refused("../x.txt")),
    NameRow("backslash parent from DOS", DosFile("..\\x.txt", "evil"), Refused("../x.txt")),
    NameRow("mixed separators out", File("a\\../..\\x.txt", "evil"), Refused("a/../../x.txt")),
    NameRow("mixed separators inside", File("a/..\\b.txt", "in"), Ok("a/../b.txt", "in", "b.txt")),
    NameRow(
        "absolute, aimed at the sandbox",
        [](CSandbox& sandbox) { return File(sandbox.Path("abs.txt"), "abs"); },
        Ok(sandboxToken + "/abs.txt", "abs", sandboxToken + "/abs.txt")),
    NameRow("drive", File("C:\\x.txt", "drive"), Ok("C:/x.txt", "drive", "x.txt")),
    NameRow("drive then parent", File("C:..\\x.txt", "evil"), Refused("C:../x.txt")),
    NameRow("server share", File("\\\\srv\\share\\x.txt", "unc"), Ok("//srv/share/x.txt", "unc", "srv/share/x.txt")),
    NameRow("long path prefix then parent", File("\\\\?\\C:\\..\\x.txt", "evil"), Refused("//?/C:/../x.txt")),
    NameRow("dot", File(".", "evil"), Refused(".")),
    NameRow("dot dot", File("..", "evil"), Refused("..")),
    NameRow("empty", File("", "evil"), Refused("")),
    // A name ending in a separator is a folder whatever its attributes: here the target folder itself.
    NameRow("slash", File("/", "evil"), Made("/")),
    NameRow("parent folder entry", Dir("../d"), Refused("../d/")),
    // The name a Unicode Path block gives passes the same checks.
    NameRow("parent in a Unicode Path block", WithUnicodePath(File("safe.txt", "evil"), "../x.txt"),
            Refused("../x.txt", "cesta by vedla mimo cilovou slozku")),
    NameRow("Unicode Path block", WithUnicodePath(DosFile("\x9F.txt", "utf"), "\xC4\x8D.txt"),
            Ok("\xC4\x8D.txt", "utf", "\xC4\x8D.txt")),
    NameRow("zero byte", File(std::string("a\0b.txt", 7), "evil"), Refused("a\\x00b.txt", "nepripustne jmeno")),
    NameRow("300 byte name", File(std::string(300, 'n'), "long"), Refused(std::string(300, 'n'))),
    NameRow("300 byte folder", File(std::string(300, 'd') + "/f.txt", "long"),
            Refused(std::string(300, 'd') + "/f.txt")),
    OnTmpfsIfPossible(NameRow("65535 byte name", File(longestName, "long"), Refused(Repeat("a/", 32767) + "b"))),
    // Whether 2 000 levels fit below the target depends on how deep the test's own folder is.
    OnTmpfsIfPossible(
        NameRow("2000 nested folders", File(deepName, "deep"), Either(Repeat("n/", 2000) + "f.txt", deepName, "deep"))),
    NameRow("terminal escape sequences", File("\x1b]0;owned\x07\x1b[2J\x1b[31mred.txt", "esc"),
            Ok("\\x1B]0;owned\\x07\\x1B[2J\\x1B[31mred.txt", "esc", "\x1b]0;owned\x07\x1b[2J\x1b[31mred.txt")),
    NameRow("line breaks and delete", File("a\nb\rc\x7f\x01.txt", "ctl"),
            Ok("a\\x0Ab\\x0Dc\\x7F\\x01.txt", "ctl", "a\nb\rc\x7f\x01.txt")),
};
HOSTILE_CASES(Names, nameCases);

// Entries that compose to the target folder itself never take its place or the program's: a
// program without an extension would otherwise have its own path as the target.
HostileCase OwnFileRow(std::string label, std::string program, std::string target) {
    HostileCase row;
    row.label = std::move(label);
    row.program = std::move(program);
    row.target = std::move(target);
    row.build = Build({File("", "evil"), File(".", "evil"), File("./", "evil"), File("a/..", "evil"), Dir("a/../"),
                       Dir("/"), File(goodName, goodData)});
    row.entries = {Refused(""),        Refused("."), Made("./"),             Refused("a/.."),
                   Made("a/../"),    Made("/"),   Ok(goodName, goodData)};
    return row;
}

const HostileCase ownFileCases[] = {
    OwnFileRow("program without an extension", "box/in/setup", "box/in/setup.d"),
    OwnFileRow("program with an extension", "box/in/setup.run", "box/in/setup"),
};
HOSTILE_CASES(OwnFile, ownFileCases);

} // namespace
