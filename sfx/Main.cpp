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
    return CExtractionRun().Run(modulePath);
}
