// Writes COUNT values named PREFIX0..PREFIXn into SECTION, each a separate call,
// while other processes do the same; exits 1 if any call failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tallory/tallory.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const char* section = argv[1];
    std::string prefix = argv[2];
    int count = std::atoi(argv[3]);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(i);
        if (!PutProfileInt(section, name.c_str(), i)) ++failures;
        int back = -1;
        if (!GetProfileIntA(section, name.c_str(), &back) || back != i) ++failures;
        // A shared counter section: read and write interleave with the other processes.
        if (!PutProfileString("Shared", "last", name.c_str())) ++failures;
    }
    if (failures != 0) {
        char why[512];
        GetProfileLastError(why, sizeof why);
        std::fprintf(stderr, "%d failures: %s\n", failures, why);
    }
    return failures == 0 ? 0 : 1;
}
