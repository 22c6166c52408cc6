#pragma once

#include <string>

// The password, typed twice on the terminal without echo. Throws std::runtime_error where there is
// no terminal, nothing was typed or the two differ.
std::string AskPassword();

// The first line of a file, without its line end. Throws std::runtime_error.
std::string ReadPasswordFile(const std::string& path);
