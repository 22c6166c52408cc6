#include "sfx/ExtractionRun.h"

#include "engine/ZipArchive.h"
#include "engine/ZipEntryHeader.h"
#include "platform/ZipOs.h"

namespace {

// The dialogue, byte for byte.
constexpr const char* askPrefix = "Rozbalit archiv do: ";
constexpr const char* askSuffix = "?\tA/N\t";
constexpr const char* openingText = "\nInicializace archivu ... ";
constexpr const char* archiveErrorText = "\nChyba archivu.";
constexpr const char* countPrefix = " OK\nPocet souboru: ";
constexpr const char* countSuffix = " \n";
constexpr const char* listHeadText = "-------------------------------------------\n\n";
constexpr const char* passwordPromptText = "\nZadejte heslo: ";
constexpr const char* entryPrefix = "\nRozbaluji: ";
constexpr const char* entryFailedText = "\n\t - soubor se nepodarilo rozbalit";
constexpr const char* listTailText = "\n\n-------------------------------------------";
constexpr const char* doneText = "\nOperace dokoncena.\n\n";

// A program without an extension would otherwise propose its own path as the folder.
constexpr const char* noExtensionSuffix = ".d";

constexpr std::uint32_t transferBufferSize = 65536;

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

} // namespace

CExtractionRun::Console CExtractionRun::StandardConsole() {
    // Into a pipe or a file, one write per entry would cost as much as a small entry's own writes.
    return Console{stdout, &ZipOs::ReadAnswer, &ZipOs::ReadPasswordLine, ZipOs::IsTerminal(stdout)};
}

CExtractionRun::CExtractionRun(const Console& console) : console(console) {}

std::string CExtractionRun::TargetFolder(const std::string& modulePath) {
    // Drive, directory and file title, as the C runtime's path split gives them, are everything but
    // the extension: the last component's text from its last dot on. The engine's path parts would
    // rejoin the parts with backslashes; this folder must stay the OS path as the OS gave it.
    std::size_t titleStart = modulePath.size();
    while (titleStart > 0 && !IsPathSeparator(modulePath[titleStart - 1]))
        --titleStart;
    const std::size_t dot = modulePath.rfind('.');
    if (dot == std::string::npos || dot <= titleStart)
        return modulePath + noExtensionSuffix;
    return modulePath.substr(0, dot);
}

std::string CExtractionRun::PrintableName(const std::string& name, char separator) {
    static const char hexDigits[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += hexDigits[byte >> 4];
            shown += hexDigits[byte & 0x0F];
        } else if (c == '\\') {
            shown += separator;
        } else {
            shown += c;
        }
    }
    return shown;
}

void CExtractionRun::Say(const std::string& text) {
    ZipOs::WriteText(console.out, text);
    if (console.flushEachMessage)
        FlushConsole();
}

int CExtractionRun::Run(const std::string& modulePath) {
    const int status = RunDialogue(modulePath);
    FlushConsole();
    return status;
}

int CExtractionRun::RunDialogue(const std::string& modulePath) {
    targetFolder = TargetFolder(modulePath);
    Say(askPrefix + targetFolder + askSuffix);
    FlushConsole();
    const int answer = console.readAnswer();
    if (answer != 'A' && answer != 'a')
        return StatusDone;

    Say(openingText);
    // Composed output paths turn every backslash into a separator, which would move the output
    // away from this folder where the OS does not separate with it.
    if (ZipOs::PathSeparator() != '\\' && targetFolder.find('\\') != std::string::npos) {
        Say(archiveErrorText);
        return StatusNoArchive;
    }
    CZipArchive archive;
    passwordRead = false;
    password.clear();
    try {
        archive.Open(modulePath.c_str(), CZipArchive::ModeReadOnly, 0);
    } catch (...) {
        Say(archiveErrorText);
        return StatusNoArchive;
    }

    const int count = archive.GetCount(false);
    Say(countPrefix + std::to_string(count) + countSuffix + listHeadText);
    const bool anyFailed = !ExtractEntries(archive, static_cast<std::uint32_t>(count));
    archive.ApplyFolderTimes();

    try {
        archive.Close(0, false);
    } catch (...) {
        // Nothing is written to a read-only archive; whatever failed, release it without checks.
        archive.Close(1, false);
    }
    Say(std::string(listTailText) + doneText);
    return anyFailed ? StatusEntriesFailed : StatusDone;
}

bool CExtractionRun::ExtractOneByOne(CZipArchive& archive, std::uint32_t count) {
    bool allExtracted = true;
    for (std::uint32_t index = 0; index < count; ++index) {
        if (!ProcessEntry(archive, index))
            allExtracted = false;
    }
    return allExtracted;
}

bool CExtractionRun::ProcessEntry(CZipArchive& archive, std::uint32_t index) {
    CZipEntryHeader header;
    archive.GetEntryInfo(header, index);
    if (header.IsEncrypted())
        SupplyPassword(archive);
    ShowEntry(header.GetFileName());

    // An existing file is neither deleted nor made writable up front: the extraction renames a
    // verified file over it, which a read-only file does not prevent, and a failed entry leaves it
    // exactly as it was. Making it writable would also change every hard link to it, in the target
    // folder or not.
    bool extracted = false;
    try {
        extracted = archive.ExtractEntry(index, targetFolder.c_str(), true, nullptr, transferBufferSize);
    } catch (...) {
        // Whatever failed, the entry is reported below and the run goes on.
    }
    if (!extracted) {
        ShowFailure();
        // Discards what a failure left open; does nothing when no entry is open.
        archive.CloseEntry(nullptr, true);
    }
    return extracted;
}

void CExtractionRun::ShowEntry(const std::string& name) {
    Say(entryPrefix + PrintableName(name, ZipOs::PathSeparator()));
}

void CExtractionRun::ShowFailure() { Say(entryFailedText); }

void CExtractionRun::SupplyPassword(CZipArchive& archive) {
    if (!passwordRead) {
        Say(passwordPromptText);
        FlushConsole();
        passwordRead = console.readPasswordLine(password);
        if (!passwordRead)
            password.clear();
    }
    // An unread password clears the archive's one for this entry; the prompt comes again next time.
    archive.SetPassword(passwordRead ? password.c_str() : nullptr);
}
