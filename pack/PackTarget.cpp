#include "pack/PackTarget.h"

#include <cstring>

// The stubs, put in by the assembler as they were when the packer was linked: a stub built for a
// target that was not there then is an empty file (see CMakeLists.txt).
#define ROZBAL_EMBED(symbol, file)                                                                                     \
    __asm__(".section .rodata\n.balign 16\n.global " #symbol "_begin\n" #symbol "_begin:\n.incbin \"" file             \
            "\"\n.global " #symbol "_end\n" #symbol "_end:\n.previous\n")

ROZBAL_EMBED(rozbal_stub_linux_x86_64, ROZBAL_STUB_LINUX_X86_64);
ROZBAL_EMBED(rozbal_stub_linux_arm64, ROZBAL_STUB_LINUX_ARM64);
ROZBAL_EMBED(rozbal_stub_windows, ROZBAL_STUB_WINDOWS);

extern "C" {
extern const unsigned char rozbal_stub_linux_x86_64_begin[], rozbal_stub_linux_x86_64_end[];
extern const unsigned char rozbal_stub_linux_arm64_begin[], rozbal_stub_linux_arm64_end[];
extern const unsigned char rozbal_stub_windows_begin[], rozbal_stub_windows_end[];
}

EmbeddedStub FindEmbeddedStub(const std::string& target) {
    const struct {
        const char* name;
        const unsigned char* begin;
        const unsigned char* end;
    } stubs[] = {
        {"linux-x86_64", rozbal_stub_linux_x86_64_begin, rozbal_stub_linux_x86_64_end},
        {"linux-arm64", rozbal_stub_linux_arm64_begin, rozbal_stub_linux_arm64_end},
        {"windows", rozbal_stub_windows_begin, rozbal_stub_windows_end},
    };
    for (const auto& stub : stubs)
        if (target == stub.name)
            return {stub.begin, static_cast<std::size_t>(stub.end - stub.begin)};
    return {};
}

const char* NativeTarget() {
#if defined(__aarch64__)
    return "linux-arm64";
#else
    return "linux-x86_64";
#endif
}
