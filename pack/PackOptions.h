#pragma once

#include <string>
#include <vector>

struct PackOptions {
    std::string output;
    std::vector<std::string> sources;
    int level = 6;
    bool zipOnly = false;
    std::string stubFile; // --stub
    std::string target;   // --target; empty: this machine's
    bool quiet = false;
    bool keepOutsideLinks = false;
    bool askPassword = false; // -p
    std::string passwordFile;
    bool help = false;
};

// The command line; throws std::invalid_argument with the reason for a usage error.
PackOptions ParsePackOptions(const std::vector<std::string>& arguments);

extern const char packUsage[];
