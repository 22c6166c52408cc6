#pragma once

// Archives made by other tools at test run time, for the methods and the encryption our own writer
// cannot vouch for alone: 7-Zip (AES over Deflate and Copy, Deflate64, BZip2, LZMA), Python's zipfile
// (bzip2, LZMA) and Info-ZIP zip (bzip2). Each holds the same known files: a text of some hundred KiB,
// random bytes, an empty file and one with a Czech name.
//
//     CTempDir dir;
//     for (const ziptest::PeerRecipe& recipe : ziptest::PeerRecipes()) {
//         const ziptest::PeerArchive archive = ziptest::MakePeerArchive(recipe, dir.Path());
//         ... archive.path, archive.files (in the central directory's order), archive.password
//     }
//
// A peer that is missing or fails throws std::runtime_error: the Makefile's deps step installs them, and a
// missing one must fail the test rather than pass it unseen.

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

struct PeerFile {
    std::string name; // as stored in the central directory (UTF-8 for the Czech one)
    std::string data;
    bool encrypted = false; // flag bit 0 in its central header
    uint16_t method = 0;    // as its central header names it (99 for AES)
};

struct PeerArchive {
    std::string label; // how it was made, one line
    std::string path;
    std::string password;        // empty when nothing is encrypted
    std::vector<PeerFile> files; // in the order of the central directory
};

struct PeerRecipe {
    std::string label;    // the command, in short
    std::string tool;     // the program it runs, for the failure message
    std::string command;  // a shell command run in the folder of the files; OUT stands for the archive path
    std::string password; // the password the command encrypts with, or empty
    uint16_t method = 0;  // the method every non-empty file must carry (99: AES over any)
};

// The known files: name and contents, the same on every run.
const std::vector<PeerFile>& PeerSourceFiles();
// One recipe per peer and method.
const std::vector<PeerRecipe>& PeerRecipes();
// Writes the known files into a fresh folder below `folder`, runs the recipe there and reads the
// archive's central directory for the order, flags and methods of its entries. Throws
// std::runtime_error when the tool is missing or fails, or when an entry is not one of the known files.
PeerArchive MakePeerArchive(const PeerRecipe& recipe, const std::string& folder);

} // namespace ziptest
