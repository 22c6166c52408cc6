#pragma once

#include <string>
#include <string_view>

namespace ziptest {

// SHA-256 (FIPS 180-4) of bytes, as 64 lower-case hex digits: the digest the corpus lists for every
// entry's extracted bytes, and a cheap fingerprint of files too large to keep whole.
std::string Sha256Hex(std::string_view bytes);

} // namespace ziptest
