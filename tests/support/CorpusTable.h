#pragma once

// The shared conformance corpus beside the project, and its tab-separated tables.

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace sharedcorpus {

inline const std::string folder = std::string(ROZBAL_SOURCE_DIR) + "/../shared/corpus/";

// Rows of a .tsv file, the header line left out.
inline std::vector<std::vector<std::string>> ReadTable(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line); // column names
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream fields(line);
        std::string cell;
        while (std::getline(fields, cell, '\t'))
            cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

} // namespace sharedcorpus
