#include "engine/ZipExtraction.h"

#include "platform/ZipOs.h"

CZipExtraction::~CZipExtraction() {
    if (kept || !HasOutput())
        return;
    // Closed before it is removed: Windows removes no file that is open. An unnamed file goes with
    // its descriptor.
    if (!output.IsClosed()) {
        try {
            output.Close();
        } catch (...) {
            // The descriptor is gone either way; the file goes below.
        }
    }
    if (named)
        ZipOs::RemoveFile(path);
    else if (!unnamed)
        ZipOs::RemoveFile(writtenPath);
}
