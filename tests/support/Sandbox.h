#pragma once

#include "support/StubRunner.h"
#include "support/TreeSnapshot.h"

#include <map>
#include <string>
#include <vector>

// A folder in which the stub runs as a user would run it, with everything outside its target
// folder under watch. The layout, below Folder():
//
//   sentinel.txt          "sentinel", beside everything
//   outside/secret.txt    "secret" (0644) and outside/readonly.txt "read-only" (0444): what a hostile
//                         archive would aim at through links
//   box/in/<program>      the program, stub and archive, with box/in/sentinel.txt beside it; a name
//                         that climbs out of the target lands in box/in, box or Folder(), all watched
//   box/in/<target>/      the target folder, the one place a run may change
//
//     CSandbox sandbox("box/in/setup.run", "box/in/setup");
//     sandbox.Symlink("box/in/setup/sub", "../../../outside");
//     const CSandbox::Outcome outcome = sandbox.Run(archive, {});
//     EXPECT_TRUE(outcome.outsideChanges.empty());
class CSandbox {
  public:
    // program, target: paths relative to Folder().
    CSandbox(std::string program, std::string target);
    ~CSandbox();
    CSandbox(const CSandbox&) = delete;
    CSandbox& operator=(const CSandbox&) = delete;

    const std::string& Folder() const { return runner.Folder(); }
    std::string Path(const std::string& relative) const { return Folder() + "/" + relative; }
    std::string ProgramPath() const { return Path(program); }
    std::string TargetPath() const { return Path(target); }

    // Setting the disk up; relative paths, parents made as needed. Each throws when it fails.
    void MakeFolder(const std::string& relative, unsigned mode = 0755) const;
    void Write(const std::string& relative, const std::string& contents, unsigned mode = 0644) const;
    void Symlink(const std::string& relative, const std::string& pointsTo) const;
    void HardLink(const std::string& relative, const std::string& existingRelative) const;
    void MakeFifo(const std::string& relative) const;
    // The target of the symlink at a relative path; "<no link>" when there is none.
    std::string ReadLink(const std::string& relative) const;
    // Mounts a tmpfs on the program's folder with room for the stub, its archive up to `room` bytes
    // and what is extracted, unmounted with the sandbox. False when the system refuses (a user
    // without the right to mount).
    bool MountTmpfs(unsigned long long room);
    // Makes the folder `relative` read-only as a file system (a read-only bind mount of itself), which
    // holds for root too; false where the system refuses.
    bool MountReadOnly(const std::string& relative);

    struct Outcome {
        CStubRunner::Result result;
        std::vector<std::string> outsideChanges;             // everything outside the target
        std::map<std::string, std::string> targetFilesBefore; // regular files below the target
        std::map<std::string, std::string> targetFilesAfter;
    };
    // Writes the program (the stub followed by `archive`), takes a picture of everything outside the
    // target, runs the program answering "a" (options.input is set here), and compares.
    Outcome Run(const std::string& archive, CStubRunner::Options options);

    // The regular files below root, relative path -> contents; symlinks are not followed.
    static std::map<std::string, std::string> FilesBelow(const std::string& root);

  private:
    CStubRunner runner;
    std::string program;
    std::string target;
    std::vector<std::string> mounts;
};
