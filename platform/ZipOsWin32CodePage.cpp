// Names from MS-DOS hosts in the system's OEM code page (852 on a Czech Windows), to UTF-8.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"

namespace ZipOs {

void OemToAnsi(std::string& text) {
    if (text.empty())
        return;
    const int size = static_cast<int>(text.size());
    const UINT codePage = ::GetOEMCP();
    const int length = ::MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    if (length <= 0)
        return;
    WideText wide(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    text = Narrow(wide.data(), wide.size());
}

} // namespace ZipOs
