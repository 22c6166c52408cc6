#pragma once

#include <chrono>
#include <cstdint>

// The progress bar on a terminal: bytes and files done, the rate and the time left, redrawn at
// most ten times a second on standard error. Nothing when it is not a terminal.
class CPackProgress {
  public:
    CPackProgress(bool show, std::uint64_t totalBytes, std::uint64_t totalFiles);
    void Advance(std::uint64_t bytes, std::uint64_t files);
    // Clears the bar, leaving the terminal as it was.
    void Done();

  private:
    void Draw();

    bool show;
    std::uint64_t totalBytes, totalFiles;
    std::uint64_t bytes = 0, files = 0;
    std::chrono::steady_clock::time_point start, lastDraw;
    bool drawn = false;
};
