#pragma once

#include <string>

// OUT, written under a temporary name beside it and given its name only when whole: a failure,
// or SIGINT, SIGTERM or SIGHUP meanwhile, removes the temporary file and leaves no partial OUT
// (and an existing OUT as it was).
class CPackOutputFile {
  public:
    explicit CPackOutputFile(const std::string& path);
    ~CPackOutputFile();
    CPackOutputFile(const CPackOutputFile&) = delete;
    CPackOutputFile& operator=(const CPackOutputFile&) = delete;

    int Descriptor() const { return fd; }
    // Gives the file its mode (less the umask) and its name. Throws std::runtime_error.
    void Commit(unsigned mode);

  private:
    std::string path;
    std::string temporary;
    int fd = -1;
};
