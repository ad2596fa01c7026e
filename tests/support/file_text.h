#pragma once
// Whole files as text, for tests that look at what the code under test wrote.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kytest {

// The file's bytes; empty when it cannot be read.
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace kytest
