#pragma once

#include <string>

// Told when a volume on a removable disk is needed. The engine fills in the
// two fields before each call and goes on only when Notify returns true.
class CZipVolumeCallback {
  public:
    // The volume volumeNumber is needed for reading (the only code the reading side uses).
    static constexpr int NeedVolumeForReading = -1;

    virtual ~CZipVolumeCallback() = default;

    // code: what is needed (NeedVolumeForReading); false stops the engine.
    virtual bool Notify(int code) = 0;

    std::string volumePath; // the file to be opened on the new volume
    int volumeNumber = 0;   // 1-based number of the volume needed
};
