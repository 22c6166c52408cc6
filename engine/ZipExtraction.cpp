#include "engine/ZipExtraction.h"

#include "platform/ZipOs.h"

CZipExtraction::~CZipExtraction() {
    if (kept || writtenPath.empty())
        return;
    // Closed before it is removed: Windows removes no file that is open.
    if (!output.IsClosed()) {
        try {
            output.Close();
        } catch (...) {
            // The descriptor is gone either way; the file goes below.
        }
    }
    ZipOs::RemoveFile(writtenPath);
}
