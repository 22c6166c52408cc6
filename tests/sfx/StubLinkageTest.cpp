// The stub is what users append archives to: it has to run on any x86-64 (or, built for
// it, aarch64) Linux that has the C library, and its own bytes must not look like ZIP records.
#include "support/StubRunner.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true; // the sanitizer runtimes are shared libraries
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// Runs a command and returns its standard output; fails the test when it exits non-zero.
std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run: " << command;
        return out;
    }
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        out.append(chunk, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return out;
}

std::string ReadElf(const char* options) {
    return Capture(std::string("readelf ") + options + " --wide '" + CStubRunner::StubPath() + "'");
}

std::vector<std::string> NeededLibraries() {
    std::vector<std::string> needed;
    const std::string dynamic = ReadElf("-d");
    for (size_t at = dynamic.find("(NEEDED)"); at != std::string::npos; at = dynamic.find("(NEEDED)", at + 1)) {
        const size_t open = dynamic.find('[', at), close = dynamic.find(']', open);
        if (open != std::string::npos && close != std::string::npos)
            needed.push_back(dynamic.substr(open + 1, close - open - 1));
    }
    return needed;
}

TEST(StubLinkage, NeedsOnlyTheCLibrary) {
    if (sanitized)
        GTEST_SKIP() << "sanitized builds link their runtimes dynamically";
    // libm comes with the static C++ runtime on some toolchains; the loader is named when
    // a TLS symbol binds to it. Both are part of every glibc installation.
    const std::set<std::string> allowed = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"};
    for (const std::string& library : NeededLibraries())
        EXPECT_TRUE(allowed.count(library)) << "the stub needs " << library;
}

TEST(StubLinkage, ReleaseStubIsStripped) {
    const std::string sections = ReadElf("-S");
    if (sanitized || sections.find(".debug_info") != std::string::npos)
        GTEST_SKIP() << "built with debug information";
    EXPECT_EQ(sections.find(".symtab"), std::string::npos) << "the stub keeps its symbol table";
}

// It travels inside every archive: with every method at most 460 000 bytes, the build of stored,
// deflate and traditional encryption alone (ROZBAL_MINIMAL) at most 200 000.
TEST(StubLinkage, ReleaseStubFitsItsSize) {
    const std::string sections = ReadElf("-S");
    if (sanitized || sections.find(".debug_info") != std::string::npos)
        GTEST_SKIP() << "built with debug information";
    std::ifstream in(CStubRunner::StubPath(), std::ios::binary | std::ios::ate);
    ASSERT_TRUE(in.is_open());
    const auto size = static_cast<long long>(in.tellg());
#ifdef ROZBAL_TEST_MINIMAL
    EXPECT_LE(size, 200000);
#else
    EXPECT_LE(size, 460000);
#endif
}

// A ZIP reader that searches backward for the end record, or a tool that scans
// forward for local headers, must not find one inside the stub.
// A signature anywhere in the stub would be taken for the start of the archive.
TEST(StubLinkage, BytesHoldNoZipSignature) {
    const std::string stubPath = CStubRunner::StubPath();
    std::ifstream in(stubPath, std::ios::binary);
    ASSERT_TRUE(in) << stubPath;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    struct Signature {
        const char* label;
        std::array<char, 4> bytes;
    };
    const Signature signatures[] = {
        {"central header", {'P', 'K', 1, 2}},
        {"local header", {'P', 'K', 3, 4}},
        {"end of central directory", {'P', 'K', 5, 6}},
        {"data descriptor", {'P', 'K', 7, 8}},
    };
    for (const Signature& s : signatures) {
        const size_t at = bytes.find(std::string(s.bytes.data(), s.bytes.size()));
        EXPECT_EQ(at, std::string::npos) << s.label << " signature at byte " << at << " of " << stubPath;
    }
}

} // namespace
