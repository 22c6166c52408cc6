// Names from MS-DOS hosts in the system's OEM code page (852 on a Czech Windows), to UTF-8.
#include "platform/ZipOs.h"
#include "platform/ZipOsWin32Path.h"

#include <algorithm>
#include <vector>

namespace ZipOs {

// The system keeps its OEM code page; nothing to read.
void ChooseOemCodePage() {}

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

namespace {

bool Convert(const std::string& text, UINT from, UINT to, std::string& out) {
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (length <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(from, 0, text.data(), size, wide.data(), length);
    BOOL lost = FALSE;
    BOOL* lostFlag = to == CP_UTF8 ? nullptr : &lost;
    const int bytes = ::WideCharToMultiByte(to, 0, wide.data(), length, nullptr, 0, nullptr, lostFlag);
    if (bytes <= 0 || lost)
        return false;
    out.assign(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(to, 0, wide.data(), length, &out[0], bytes, nullptr, nullptr);
    return true;
}

} // namespace

// The password is read from the console as Unicode and comes in UTF-8, which most tools store; others
// store it in the ANSI code page, or in the OEM one (a console program of the maker's).
std::vector<std::string> PasswordForms(const std::string& typed) {
    std::vector<std::string> forms;
    for (const UINT to : {::GetACP(), ::GetOEMCP()}) {
        std::string form;
        if (Convert(typed, CP_UTF8, to, form) && form != typed &&
            std::find(forms.begin(), forms.end(), form) == forms.end())
            forms.push_back(form);
    }
    return forms;
}

} // namespace ZipOs
