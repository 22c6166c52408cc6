// A split self-extractor as a user makes one: Info-ZIP's split set with the
// built stub in front of its last volume (setup.run) and the other volumes
// renamed setup.z01, setup.z02, ... beside it.
#include "support/StubRunner.h"
#include "support/ZipTestWriter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::string closingText = "\n\n-------------------------------------------\nOperace dokoncena.\n\n";
const std::string failedText = "\n\t - soubor se nepodarilo rozbalit";

std::string Head(const std::string& folder, int count) {
    return "Rozbalit archiv do: " + folder +
           "?\tA/N\t\nInicializace archivu ...  OK\nPocet souboru: " + std::to_string(count) +
           " \n-------------------------------------------\n\n";
}

// Seeded bytes that do not compress.
std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// In the order given to zip, which is the order of the local headers.
const std::vector<std::pair<std::string, std::string>>& Files() {
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"readme.txt", "Read me first.\n"},
        {"big.bin", Noise(300 * 1024, 20240601)},
        {"notes.txt", std::string(2000, 'n')},
        {"empty.txt", ""},
    };
    return files;
}

// Renames the volumes of set.zip in the runner's folder to those of setup.run and puts the stub in
// front of the last; returns the path of setup.run and the number of volumes.
std::pair<std::string, std::size_t> MakeProgramOfSet(const CStubRunner& runner) {
    const std::string folder = runner.Folder();
    std::size_t volumes = 1;
    while (::access(ziptest::VolumePath(folder + "/set.zip", volumes - 1, volumes + 1).c_str(), F_OK) == 0)
        ++volumes;
    for (std::size_t i = 0; i + 1 < volumes; ++i)
        std::rename(ziptest::VolumePath(folder + "/set.zip", i, volumes).c_str(),
                    ziptest::VolumePath(folder + "/setup.run", i, volumes).c_str());
    const std::string program = runner.MakeProgram("setup.run", CStubRunner::ReadFileBytes(folder + "/set.zip"));
    return {program, volumes};
}

// Makes the set with zip's own options (e.g. -fz for ZIP64 records) from the files.
std::pair<std::string, std::size_t> MakeSplitProgram(const CStubRunner& runner, const std::string& zipOptions) {
    const std::string folder = runner.Folder();
    ::mkdir((folder + "/src").c_str(), 0755);
    std::string names;
    for (const auto& [name, data] : Files()) {
        CStubRunner::WriteFileBytes(folder + "/src/" + name, data);
        names += " " + name;
    }
    const std::string command = "cd '" + folder + "/src' && zip -q -X " + zipOptions + " -s 64k ../set.zip" + names;
    if (std::system(command.c_str()) != 0)
        return {"", 0};
    return MakeProgramOfSet(runner);
}

bool HaveZip() {
    if (!CStubRunner::FindProgram("zip").empty())
        return true;
    if (std::getenv("CI"))
        ADD_FAILURE() << "Info-ZIP zip is required in CI";
    return false;
}

TEST(VolumesEndToEnd, SplitSetBehindTheStub) {
    if (!HaveZip())
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    struct Row {
        const char* label;
        const char* zipOptions;
        int missingVolume; // index of a volume removed before the run, -1 none
        int exitCode;
        const char* folder = ""; // the set moved into this folder below the runner's
    } rows[] = {
        // Only big.bin runs over the second volume.
        {"whole set", "", -1, 0},
        {"second volume missing", "", 1, 1},
        // ZIP64 extra blocks in every header, the ZIP64 end record on the last volume.
        {"ZIP64 records", "-fz", -1, 0},
        {"ZIP64 records, second volume missing", "-fz", 1, 1},
        // The volumes beside a program whose path the OS gave with a backslash in a folder's name.
        {"in a folder a\\b", "", -1, 0, "a\\b"},
    };
    for (const Row& row : rows) {
        CStubRunner runner;
        auto [program, volumes] = MakeSplitProgram(runner, row.zipOptions);
        ASSERT_GE(volumes, 5u) << row.label;
        const std::string folder = runner.Folder() + (*row.folder != '\0' ? "/" + std::string(row.folder) : "");
        if (*row.folder != '\0') {
            ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0) << folder;
            for (std::size_t i = 0; i < volumes; ++i)
                std::rename(ziptest::VolumePath(program, i, volumes).c_str(),
                            ziptest::VolumePath(folder + "/setup.run", i, volumes).c_str());
            program = folder + "/setup.run";
        }
        if (row.missingVolume >= 0) {
            const std::string missing =
                ziptest::VolumePath(program, static_cast<std::size_t>(row.missingVolume), volumes);
            ASSERT_EQ(std::remove(missing.c_str()), 0) << missing;
        }
        CStubRunner::Options options;
        options.input = "a\n";
        const CStubRunner::Result result = runner.Run({program}, options);
        const std::string target = folder + "/setup";
        std::string lines;
        for (const auto& [name, data] : Files()) {
            lines += "\nRozbaluji: " + name;
            if (row.missingVolume >= 0 && name == "big.bin") {
                lines += failedText;
                continue;
            }
            EXPECT_TRUE(CStubRunner::ReadFileBytes(target + "/" + name) == data) << row.label << ": " << name;
        }
        EXPECT_EQ(result.out, Head(target, static_cast<int>(Files().size())) + lines + closingText) << row.label;
        EXPECT_EQ(result.exitCode, row.exitCode) << row.label;
    }
}

TEST(VolumesEndToEnd, StreamedInputSplitBehindTheStub) {
    if (!HaveZip())
        GTEST_SKIP() << "Info-ZIP zip is not installed";
    // Input from a pipe gets ZIP64 local blocks (its size is unknown when the header is written);
    // splitting keeps them.
    CStubRunner runner;
    const std::string folder = runner.Folder();
    const std::string command = "cd '" + folder + "' && seq 1 100000 | zip -q - - > streamed.zip && " +
                                "zip -q -s 64k streamed.zip --out set.zip && seq 1 100000 > expected";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const auto [program, volumes] = MakeProgramOfSet(runner);
    ASSERT_GE(volumes, 3u);
    CStubRunner::Options options;
    options.input = "a\n";
    const CStubRunner::Result result = runner.Run({program}, options);
    const std::string target = folder + "/setup";
    EXPECT_EQ(result.out, Head(target, 1) + "\nRozbaluji: -" + closingText);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(CStubRunner::ReadFileBytes(target + "/-") == CStubRunner::ReadFileBytes(folder + "/expected"));
}

} // namespace
