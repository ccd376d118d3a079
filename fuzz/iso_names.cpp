// File names from a folder are outside input: the 8.3 and Joliet name rules,
// and a tree of such names laid out and written, on any bytes.
#include <string>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_tree.h"

using namespace tallory::cd::engine;

namespace {

class NullSink : public IsoSectorSink {
public:
    void writeSectors(const uint8_t*, uint32_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    IsoTree tree;
    IsoEntry* folder = &tree.root();
    size_t start = 0;
    // Each line a name; a line ending in '/' a folder that the next names go into.
    for (int n = 0; start < text.size() && n < 200; ++n) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string name = text.substr(start, end - start);
        start = end + 1;
        bool directory = !name.empty() && name.back() == '/';
        if (directory) name.pop_back();
        if (name.empty()) continue;
        std::string shortName = makeShortName(name, 1 + n, directory);
        if (shortName.size() > 12) __builtin_trap();
        if (jolietNameOf(name).size() > kMaxJolietName) __builtin_trap();
        IsoEntry& e = tree.addEntry(*folder, name, directory, "", 0, IsoTime{}, IsoTreeOptions{n % 2 == 0});
        if (directory) folder = &e;
    }
    IsoImageOptions options;
    options.joliet = true;
    try {
        IsoImage image(tree, options);
        NullSink sink;
        image.write(sink);
    } catch (const EngineError&) {
    }
    return 0;
}
