// The self-extractor: a ZIP archive appended to this program is extracted, after the user agrees,
// into a folder named after the program.
#include "sfx/ExtractionRun.h"

#include "platform/ZipOs.h"

#include <string>

int main() {
    ZipOs::PinLocalTimeZone();
    ZipOs::PrepareConsole();
    ZipOs::ChooseOemCodePage();
    std::string modulePath;
    if (!ZipOs::GetModulePath(modulePath))
        return CExtractionRun::StatusNoModulePath;
    const int status = CExtractionRun().Run(modulePath);
    // Everything unfinished is gone and the lines are out: the process ends as the signal ends it.
    if (const int signal = ZipOs::InterruptionSignal())
        ZipOs::ExitInterrupted(signal);
    return status;
}
