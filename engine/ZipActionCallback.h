#pragma once

#include <cstdint>

// A progress callback registered with the archive object under one or more
// kinds. Only archive modification registers any; reading merely asks for them.
class CZipActionCallback {
  public:
    virtual ~CZipActionCallback() = default;

    // The kind under which the callback was last fetched.
    std::uint32_t kind = 0;
};
