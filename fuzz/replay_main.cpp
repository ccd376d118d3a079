// Runs a fuzz target over every file of the folders or files given, so that the
// corpus and every crasher found earlier stay regression tests without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int replayFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

int replay(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "replay: %s: not found\n", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) return replayFile(path);
    int count = 0;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        int n = replay(path + "/" + name);
        if (n < 0) { ::closedir(dir); return -1; }
        count += n;
    }
    ::closedir(dir);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        int n = replay(argv[i]);
        if (n < 0) return 1;
        total += n;
    }
    // Random inputs too, so that a target is exercised even with a small corpus.
    uint32_t state = 12345;
    std::vector<uint8_t> buffer;
    for (int round = 0; round < 2000; ++round) {
        state = state * 1664525u + 1013904223u;
        buffer.resize(state % 4096);
        for (auto& b : buffer) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(state >> 24);
        }
        LLVMFuzzerTestOneInput(buffer.data(), buffer.size());
    }
    std::printf("replayed %d files and 2000 random inputs\n", total);
    return total > 0 ? 0 : 1;
}
