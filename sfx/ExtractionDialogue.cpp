#include "sfx/ExtractionDialogue.h"

#include "engine/ZipArchive.h"
#include "engine/ZipException.h"
#include "platform/ZipOs.h"
#include "platform/ZipOsConsole.h"

#include <cerrno>
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
// The cause, under the failure line, in the same plain ASCII Czech.
constexpr const char* causePrefix = "\n\t   pricina: ";
constexpr const char* folderFailedText = "\nCilovou slozku nelze vytvorit, pricina: ";
constexpr const char* unsupportedMethodText = "nepodporovana metoda komprese ";
constexpr const char* noPasswordText = "heslo nebylo zadano";

struct CauseEntry {
    int cause;
    const char* text;
};

// The causes a user can act on, or should know of to ask for another archive. Only errno values
// below the engine's own codes (100 and up) are named, so that none is mistaken for one of them.
constexpr CauseEntry causeTexts[] = {
    {ENOSPC, "na disku neni dost mista"},
    {EACCES, "chybi opravneni"},
    {EPERM, "chybi opravneni"},
    {EROFS, "disk je jen pro cteni"},
    {ENOTDIR, "v ceste je soubor stejneho jmena jako slozka"},
    {EEXIST, "v ceste je soubor stejneho jmena jako slozka"},
    {EISDIR, "v ceste je slozka stejneho jmena"},
    {ENAMETOOLONG, "jmeno je pro system prilis dlouhe"},
    {CZipException::NameTooLong, "jmeno je pro system prilis dlouhe"},
    {EFBIG, "soubor je pro system prilis velky"},
    {EIO, "chyba cteni nebo zapisu na disku"},
    {EMFILE, "prilis mnoho otevrenych souboru"},
    {CZipException::WrongPassword, "nespravne heslo"},
    {CZipException::UnsupportedEncryption, "nepodporovane sifrovani"},
    {CZipException::PathOutside, "cesta by vedla mimo cilovou slozku"},
    {CZipException::NameNotAllowed, "nepripustne jmeno"},
    {CZipException::CrcMismatch, "poskozena data: nesouhlasi kontrolni soucet (CRC)"},
    {CZipException::AuthenticationFailed, "poskozena data: nesouhlasi overovaci kod sifrovanych dat"},
    {CZipException::ZlibBufferError, "poskozena data: vice dat, nez uvadi hlavicka"},
    // A stream cut short shows as any of these, depending on where it ends and who reads it.
    {CZipException::ZlibDataError, "poskozena nebo neuplna data"},
    {CZipException::DataTruncated, "poskozena nebo neuplna data"},
    {CZipException::BadArchive, "poskozena nebo neuplna data"},
    {CZipException::OutOfMemory, "nedostatek pameti"},
    {CZipException::NotStamped, "nepodarilo se nastavit cas nebo atributy"},
};

struct MethodName {
    std::uint16_t method;
    const char* name;
};

// Methods other tools write that this program does not decode (APPNOTE 4.4.5).
constexpr MethodName methodNames[] = {
    {1, "Shrink"}, {2, "Reduce"}, {3, "Reduce"}, {4, "Reduce"}, {5, "Reduce"},   {6, "Implode"}, {10, "DCL Implode"},
    {18, "TERSE"}, {19, "LZ77"},  {94, "MP3"},   {96, "JPEG"},  {97, "WavPack"}, {98, "PPMd"},
};
constexpr const char* listTailText = "\n\n-------------------------------------------";
constexpr const char* doneText = "\nOperace dokoncena.\n\n";
constexpr const char* pauseText = "Pro ukonceni stisknete Enter.";
constexpr const char* pauseLineStart = "\n\n";

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
    return Console{stdout,
                   &ZipOs::ReadAnswer,
                   &ZipOs::ReadPasswordLine,
                   ZipOs::IsTerminal(stdout),
                   &ZipOs::WatchInterruptions,
                   &ZipOs::ConsoleClosesWithProgram,
                   &ZipOs::WaitForEnter};
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

void CExtractionDialogue::PauseIfConsoleCloses() {
    if (console.consoleClosesWithProgram == nullptr || !console.consoleClosesWithProgram())
        return;
    Flush();
    console.waitForEnter((atLineStart ? "" : pauseLineStart) + std::string(pauseText));
}

void CExtractionDialogue::ShowEntry(const std::string& name) {
    Say(entryPrefix + PrintableName(name, ZipOs::PathSeparator()));
}

void CExtractionDialogue::ShowFailure(int cause, std::uint16_t method) {
    const bool noPassword = cause == CZipException::WrongPassword && (!passwordRead || password.empty());
    const std::string text = noPassword ? noPasswordText : CauseText(cause, method);
    Say(text.empty() ? std::string(entryFailedText) : entryFailedText + (causePrefix + text));
}

void CExtractionDialogue::ShowFolderFailure(int cause) {
    const std::string text = CauseText(cause, 0);
    Say(folderFailedText + (text.empty() ? std::string("neznama") : text));
}

std::string CExtractionDialogue::CauseText(int cause, std::uint16_t method) {
    if (cause == CZipException::UnsupportedMethod) {
        for (const MethodName& entry : methodNames)
            if (entry.method == method)
                return unsupportedMethodText + (entry.name + (" (" + std::to_string(method) + ")"));
        return unsupportedMethodText + std::to_string(method);
    }
    for (const CauseEntry& entry : causeTexts)
        if (entry.cause == cause)
            return entry.text;
    return std::string();
}

std::uint16_t CExtractionDialogue::MethodOfCause(int cause, const CZipArchive& archive) {
    return cause == CZipException::UnsupportedMethod ? archive.GetLastDataMethod() : 0;
}

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
    if (!text.empty())
        atLineStart = text.back() == '\n';
    // Into a pipe, a stream of lines goes out in batches; the first after a quiet while at once.
    if (console.flushEachMessage)
        Flush();
    else
        FlushWhenDue();
}
