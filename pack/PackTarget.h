#pragma once

#include <cstddef>
#include <string>

// A stub this packer was built with, by target name ("linux-x86_64", "linux-arm64", "windows").
struct EmbeddedStub {
    const unsigned char* bytes = nullptr;
    std::size_t size = 0; // 0: this packer was built without it
};

EmbeddedStub FindEmbeddedStub(const std::string& target);

// The target of the machine the packer runs on.
const char* NativeTarget();
