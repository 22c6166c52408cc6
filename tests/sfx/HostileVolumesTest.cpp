// Split archives whose volumes are missing or are not files: only regular files are opened,
// nothing blocks, and the entries on the volumes that are there still come out.
#include "HostileCase.h"

#include <stdexcept>

namespace {

using namespace ziptest;

// One stored entry per volume, the central directory on the last: the program is volume 3, the
// volumes before it lie beside it as setup.z01 to setup.z03.
constexpr std::uint64_t volumeSize = 200;
const std::string dataA(160, 'a'), dataB(160, 'b'), dataC(160, 'c');
const std::vector<Entry> volumeEntries = {File("a.txt", dataA, methodStored), File("b.txt", dataB, methodStored),
                                          File("c.txt", dataC, methodStored)};

std::vector<std::string> Volumes(const std::vector<Entry>& entries, Layout& layout) {
    std::vector<std::string> volumes = BuildSplitArchive(entries, volumeSize, {}, &layout);
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (layout.localHeader[i].volume != i || layout.data[i].volume != i)
            throw std::logic_error("entry " + std::to_string(i) + " is not alone on its volume");
    return volumes;
}

// Writes the volumes before the last beside the program, lets `spoil` change what lies there, and
// returns the last volume.
std::function<std::string(CSandbox&)> SplitSet(std::function<void(CSandbox&)> spoil,
                                               std::function<void(std::string&, const Layout&)> patch = nullptr) {
    return [spoil, patch](CSandbox& sandbox) {
        Layout layout;
        std::vector<std::string> volumes = Volumes(volumeEntries, layout);
        if (patch)
            patch(volumes.back(), layout);
        for (std::size_t i = 0; i + 1 < volumes.size(); ++i)
            WriteFile(VolumePath(sandbox.ProgramPath(), i, volumes.size()), volumes[i]);
        spoil(sandbox);
        return volumes.back();
    };
}

void Remove(const CSandbox& sandbox, const std::string& relative) {
    if (std::remove(sandbox.Path(relative).c_str()) != 0)
        throw std::runtime_error("cannot remove " + relative);
}

HostileCase VolumeRow(std::string label, std::function<std::string(CSandbox&)> build, std::vector<Expect> expected) {
    HostileCase row;
    row.label = std::move(label);
    row.build = std::move(build);
    row.entries = std::move(expected);
    return row;
}

const HostileCase volumeCases[] = {
    VolumeRow("all volumes there", SplitSet([](CSandbox&) {}),
              {Ok("a.txt", dataA), Ok("b.txt", dataB), Ok("c.txt", dataC)}),
    VolumeRow("missing middle volume", SplitSet([](CSandbox& sandbox) { Remove(sandbox, "box/in/setup.z02"); }),
              {Ok("a.txt", dataA), Refused("b.txt"), Ok("c.txt", dataC)}),
    VolumeRow("volume that is a FIFO",
              SplitSet([](CSandbox& sandbox) {
                  Remove(sandbox, "box/in/setup.z01");
                  sandbox.MakeFifo("box/in/setup.z01");
              }),
              {Refused("a.txt"), Ok("b.txt", dataB), Ok("c.txt", dataC)}),
    VolumeRow("volume that is a folder",
              SplitSet([](CSandbox& sandbox) {
                  Remove(sandbox, "box/in/setup.z01");
                  sandbox.MakeFolder("box/in/setup.z01");
              }),
              {Refused("a.txt"), Ok("b.txt", dataB), Ok("c.txt", dataC)}),
    VolumeRow("volume that links to /dev/zero",
              SplitSet([](CSandbox& sandbox) {
                  Remove(sandbox, "box/in/setup.z01");
                  sandbox.Symlink("box/in/setup.z01", "/dev/zero");
              }),
              {Refused("a.txt"), Ok("b.txt", dataB), Ok("c.txt", dataC)}),
    // Such an entry sorts last: entries are in volume order.
    VolumeRow("entry on a volume past the last",
              SplitSet([](CSandbox&) {},
                       [](std::string& last, const Layout& layout) {
                           PutLE16(last, layout.centralHeader[0].offset + centralDiskStartOffset, 7);
                       }),
              {Ok("b.txt", dataB), Ok("c.txt", dataC), Refused("a.txt")}),
    VolumeRow("single file with an entry on another volume",
              [](CSandbox&) {
                  Layout layout;
                  std::string zip = BuildArchive({File("a.txt", "alpha"), File("b.txt", "bravo")}, {}, &layout);
                  PutLE16(zip, layout.centralHeader[0] + centralDiskStartOffset, 3);
                  return zip;
              },
              {Ok("b.txt", "bravo"), Refused("a.txt")}),
};
HOSTILE_CASES(Volumes, volumeCases);

} // namespace
