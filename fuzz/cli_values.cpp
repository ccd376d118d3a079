// tallory's command line on any arguments, and the values its commands take
// apart. The input is NUL-separated arguments; the chosen command is parsed and
// checked but never run. The value parsers get the whole input too, with their
// round trips checked: UTF-8 to UTF-16 and back, hex, frame codes, NAME=VALUE.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli_values.h"
#include "commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tallory::cli;
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Whatever the bytes, the UTF-16 text turns back into UTF-8 that decodes to itself.
    const std::u16string wide = fromUtf8(input);
    const std::string narrow = toUtf8(wide.c_str());
    if (toUtf8(fromUtf8(narrow).c_str()) != narrow) __builtin_trap();
    if (input.find('\0') == std::string::npos && fromUtf8(narrow) != wide && narrow.size() == input.size()) {
        __builtin_trap();
    }
    std::vector<unsigned char> bytes;
    if (fromHex(input, bytes)) {
        std::string lower = input;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c + 32 : c);
        if (toHex(bytes) != lower || bytes.size() * 2 != input.size()) __builtin_trap();
    }
    if (const int id = frameIdOf(input); id != 0) {
        if (frameIdOf(codeOf(id)) != id) __builtin_trap();
    }
    const OptionValue o = splitOption(input);
    if ((o.hasValue ? o.name + "=" + o.value : o.name) != input) __builtin_trap();

    // The arguments through the command-line parser.
    std::vector<std::string> args;
    for (size_t start = 0; start <= input.size() && args.size() < 64;) {
        const size_t nul = input.find('\0', start);
        args.push_back(input.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
        if (nul == std::string::npos) break;
        start = nul + 1;
    }
    std::vector<char*> argv;
    std::string program = "tallory";
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    CLI::App app{"fuzz"};
    CommandAction action;
    bool showVersion = false;
    configureApp(app, action, showVersion);
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::Error&) {
        // Usage errors and help requests are answers, not faults.
    }
    return 0;
}
