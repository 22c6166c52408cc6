#pragma once

#include <string>

// A fresh directory under the test temp folder, removed with everything in it
// (read-only entries included, symlinks never followed) when the object goes.
class CTempDir {
  public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // The directory in the OS form, without a trailing slash.
    const std::string& Path() const { return path; }
    // Path() + "/" + name.
    std::string Join(const std::string& name) const { return path + "/" + name; }

  private:
    std::string path;
};
