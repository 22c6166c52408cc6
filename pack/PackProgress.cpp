#include "pack/PackProgress.h"

#include <cstdio>
#include <string>

namespace {
std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
    return text;
}
} // namespace

CPackProgress::CPackProgress(bool show, std::uint64_t totalBytes, std::uint64_t totalFiles)
    : show(show), totalBytes(totalBytes), totalFiles(totalFiles), start(std::chrono::steady_clock::now()),
      lastDraw(start) {}

void CPackProgress::Advance(std::uint64_t moreBytes, std::uint64_t moreFiles) {
    bytes += moreBytes;
    files += moreFiles;
    if (!show)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw >= std::chrono::milliseconds(100)) {
        lastDraw = now;
        Draw();
    }
}

void CPackProgress::Draw() {
    const double seconds = std::chrono::duration<double>(lastDraw - start).count();
    const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
    const double fraction = totalBytes ? static_cast<double>(bytes) / static_cast<double>(totalBytes) : 1.0;
    constexpr int width = 24;
    const int filled = static_cast<int>(fraction * width);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    const long left = rate > 0 ? static_cast<long>(static_cast<double>(totalBytes - bytes) / rate) : 0;
    std::fprintf(stderr, "\r[%s] %3d %% %s of %s, %llu of %llu files, %s/s, %ld:%02ld left\033[K", bar.c_str(),
                 static_cast<int>(fraction * 100), Mebibytes(bytes).c_str(), Mebibytes(totalBytes).c_str(),
                 static_cast<unsigned long long>(files), static_cast<unsigned long long>(totalFiles),
                 Mebibytes(static_cast<std::uint64_t>(rate)).c_str(), left / 60, left % 60);
    std::fflush(stderr);
    drawn = true;
}

void CPackProgress::Done() {
    if (drawn) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    drawn = false;
}
