#pragma once

#include "engine/ZipBuffer.h"
#include "engine/ZipDiskFile.h"
#include "engine/ZipEntryHeader.h"
#include "engine/ZipOutputFolder.h"
#include "engine/decode/ZipCipher.h"
#include "engine/decode/ZipEntryDecoder.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One file entry on its way to disk, for extraction in three steps: the archive places it (path
// judged, folders made, output file created without a name or under a temporary one, or left to the
// decoder's thread to make: one thread, archive order), a decoder writes and verifies its data
// through the open file (any thread), and the archive ends it (named, or removed: archive order
// again). It carries everything the decoder needs, so that decoders share nothing with the archive
// nor with one another.
class CZipExtraction {
  public:
    enum Step {
        Failed,   // nothing of the entry is on disk
        Finished, // a folder or link, made; nothing is left to do
        DataDue,  // the output file is created and waits for the entry's data
    };
    enum Outcome {
        NotDecoded, // the data did not come out whole and verified
        Verified,   // written, checked and stamped
        NotStamped, // written and checked, but its time or attributes could not be set
    };

    CZipExtraction() = default;
    CZipExtraction(const CZipExtraction&) = delete;
    CZipExtraction& operator=(const CZipExtraction&) = delete;
    // A file created for the entry and never kept is removed, under its name if it got it.
    ~CZipExtraction();
    // Whether a file was created for the entry.
    bool HasOutput() const { return unnamed || !writtenPath.empty(); }
    // Gives the unnamed output its name, path; false with errno set (EEXIST: something is there).
    bool LinkUnnamed() { return folder ? output.LinkIn(folder->GetHandle(), leaf) : output.LinkAs(path); }

    std::uint32_t index = 0;
    std::string path; // where the entry lands
    std::size_t baseLength = 0; // of path's part that is the target folder
    // The file written under a temporary name beside path; empty for an unnamed one (unnamed), which
    // stays open until it gets its name.
    std::string writtenPath;
    bool unnamed = false;
    // The unnamed file got its name already, from the thread that wrote it (NameWritten).
    bool named = false;
    // The folder the unnamed file was made in, where it is held open, and the file's name there.
    std::shared_ptr<const CZipOutputFolder> folder;
    std::string leaf;
    CZipDiskFile output;
    bool kept = false;

    // The entry's data in the archive file: from dataStart (after its encryption header), what the
    // decoder needs of them, the cipher started with the password, and the values the data
    // descriptor after them must match.
    std::uint64_t dataStart = 0;
    CZipEntryDecoder::Entry entry;
    std::unique_ptr<CZipCipher> cipher;
    // What started it, to start it again for an entry written twice.
    std::vector<unsigned char> cipherHeader;
    std::string password;
    std::uint64_t compressedSize = 0; // as the headers give it, cipher bytes included
    bool dataDescriptor = false;
    bool zip64Descriptor = false;

    CZipEntryHeader::Time time;
    std::uint32_t attributes = 0;
    int unixMode = -1;

    Outcome outcome = NotDecoded;
    // Why the entry failed, where it did not fail by an exception: a CZipException code or an errno
    // value, 0 when unknown.
    int failure = 0;
    // The data are written and checked already (outcome): a decoder only names the file.
    bool written = false;
    // Set before WriteEntry: an unnamed file's time and attributes are left (in time, attributes and
    // unixMode) to the thread that names it; WriteEntry clears it where it stamped the file itself.
    bool stampLater = false;
    // Set before BeginExtraction or WriteEntry: the unnamed output may be made by the thread that
    // writes the data, in folder, which spares the placing thread its creation. BeginExtraction
    // clears it where it made the file itself; it stays set where that thread could not make it
    // (createFailed), for EndExtraction's thread to make it (CZipArchive::CreateLateOutput).
    bool createLater = false;
    bool createFailed = false;
    // A stored entry's data (heldLength bytes), read and checked where it was placed, for the thread
    // that makes its file to write; empty for an entry decoded from the archive.
    CZipBuffer held;
    std::uint32_t heldLength = 0;
    // The output file refused the data (a full disk, a size limit): it is left open and empty, so
    // that the entry can be written again once the entries before it have ended and made room.
    bool writeFailed = false;
};
