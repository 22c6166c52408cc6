#include "sfx/ExtractionDialogue.h"

#include "engine/ZipArchive.h"
#include "platform/ZipOs.h"
#include "platform/ZipOsConsole.h"

#include <string>
#include <utility>
#include <vector>

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

// Where the typed line fails an entry's check: its other encodings, then its first characters as
// programs that cut passwords short took them, and their other encodings.
std::vector<std::string> PasswordAlternatives(const std::string& typed) {
    std::vector<std::string> alternatives;
    for (const std::string& cut : ZipOs::PasswordCuts(typed)) {
        if (cut != typed)
            alternatives.push_back(cut);
        for (std::string& form : ZipOs::PasswordForms(cut))
            alternatives.push_back(std::move(form));
    }
    return alternatives;
}

} // namespace

CExtractionDialogue::Console CExtractionDialogue::StandardConsole() {
    // Into a pipe or a file, one write per entry would cost as much as a small entry's own writes.
    return Console{stdout, &ZipOs::ReadAnswer, &ZipOs::ReadPasswordLine, ZipOs::IsTerminal(stdout),
                   &ZipOs::WatchInterruptions};
}

std::string CExtractionDialogue::PrintableName(const std::string& name, char separator) {
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

bool CExtractionDialogue::AgreesToExtractInto(const std::string& folder) {
    Say(askPrefix + folder + askSuffix);
    Flush();
    const int answer = console.readAnswer();
    return answer == 'A' || answer == 'a';
}

void CExtractionDialogue::ShowOpening() { Say(openingText); }

void CExtractionDialogue::ShowArchiveError() { Say(archiveErrorText); }

void CExtractionDialogue::ShowCount(int count) {
    Say(countPrefix + std::to_string(count) + countSuffix + listHeadText);
}

void CExtractionDialogue::ShowEnd() { Say(std::string(listTailText) + doneText); }

void CExtractionDialogue::ShowEntry(const std::string& name) {
    Say(entryPrefix + PrintableName(name, ZipOs::PathSeparator()));
}

void CExtractionDialogue::ShowFailure() { Say(entryFailedText); }

void CExtractionDialogue::SupplyPassword(CZipArchive& archive) {
    // Handed over once read: the archive then keeps whichever form of it opens the entries.
    if (passwordRead)
        return;
    Say(passwordPromptText);
    Flush();
    passwordRead = console.readPasswordLine(password);
    if (!passwordRead) {
        // The archive has none for this entry; the prompt comes again next time.
        password.clear();
        archive.SetPassword(nullptr);
        return;
    }
    archive.SetPassword(password.c_str());
    archive.SetPasswordAlternatives(PasswordAlternatives(password));
}

void CExtractionDialogue::ForgetPassword() {
    passwordRead = false;
    password.clear();
}

void CExtractionDialogue::Flush() {
    std::fflush(console.out);
    unflushed = false;
    lastFlush = std::chrono::steady_clock::now();
}

void CExtractionDialogue::FlushWhenDue() {
    if (unflushed && std::chrono::steady_clock::now() - lastFlush >= flushInterval)
        Flush();
}

void CExtractionDialogue::WatchInterruptions() {
    if (console.watchInterruptions != nullptr)
        console.watchInterruptions();
}

void CExtractionDialogue::Say(const std::string& text) {
    ZipOs::WriteText(console.out, text);
    unflushed = true;
    // Into a pipe, a stream of lines goes out in batches; the first after a quiet while at once.
    if (console.flushEachMessage)
        Flush();
    else
        FlushWhenDue();
}
