#pragma once

#include <string>

// The POSIX layer's own choice of the OEM code page, which the system does not keep here.
namespace ZipOs {

// The OEM code page Windows uses for the language of a locale name such as "cs_CZ.UTF-8" or
// "sr_RS@latin": 852 for Czech, 866 for Russian, ...; 437 for English, "C", "POSIX", none, or a
// language without a single-byte one.
int OemCodePageOfLocale(const std::string& locale);
// Converts text in place from that code page to UTF-8; false, and nothing changed, for a code page
// this layer has no table of.
bool OemToUtf8(std::string& text, int codePage);

} // namespace ZipOs
