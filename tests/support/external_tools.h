// Running the independent tools that tests use as oracles (ffprobe, sox, lame ...).
#ifndef TALLORY_TESTS_EXTERNAL_TOOLS_H
#define TALLORY_TESTS_EXTERNAL_TOOLS_H

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Runs a shell command and returns its standard output; *status gets the exit status.
inline std::string runCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    std::FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = ::pclose(p);
    if (status != nullptr) *status = rc;
    return out;
}

// One ffprobe stream field of the first audio stream, e.g. "sample_rate".
inline std::string ffprobeField(const std::string& path, const std::string& field) {
    std::string out = runCommand("ffprobe -v error -select_streams a:0 -show_entries stream=" + field +
                                 " -of default=noprint_wrappers=1:nokey=1 '" + path + "'");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

inline std::vector<uint8_t> readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

#endif
