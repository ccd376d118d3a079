// tallory settings: read, write and delete values of the settings store.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli_values.h"
#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct SettingsArgs {
    std::string section;
    std::string name;
    std::string value;
    std::string type = "string";
    bool hasName = false;
};

std::string storeError() {
    char text[1024];
    GetProfileLastError(text, sizeof text);
    return text[0] != '\0' ? std::string(text) : std::string("settings store failed");
}

int getValue(const SettingsArgs& a) {
    const char* section = a.section.c_str();
    const char* name = a.name.c_str();
    int type = GetProfileValueType(section, name);
    if (type < 0) return fail(storeError());
    if (type == REG_DWORD) {
        int value = 0;
        if (!GetProfileIntA(section, name, &value)) return fail(storeError());
        std::printf("%d\n", value);
        return kExitOk;
    }
    if (type == REG_SZ) {
        char text[TALLORY_MAX_PATH];
        if (!GetProfileStringA(section, name, text)) return fail(storeError());
        std::printf("%s\n", text);
        return kExitOk;
    }
    uint32_t size = 0;
    if (!GetProfileBinary(section, name, nullptr, &size)) return fail(storeError());
    std::vector<unsigned char> bytes(size);
    if (!GetProfileBinary(section, name, bytes.data(), &size)) return fail(storeError());
    bytes.resize(size);
    std::printf("%s\n", toHex(bytes).c_str());
    return kExitOk;
}

int setValue(const SettingsArgs& a) {
    const char* section = a.section.c_str();
    const char* name = a.name.c_str();
    bool ok = false;
    if (a.type == "int") {
        errno = 0;
        char* end = nullptr;
        long v = std::strtol(a.value.c_str(), &end, 0);
        if (a.value.empty() || *end != '\0' || errno != 0 || v < INT_MIN || v > INT_MAX) {
            return fail("\"" + a.value + "\" is not a 32-bit integer");
        }
        ok = PutProfileInt(section, name, static_cast<int>(v));
    } else if (a.type == "binary") {
        std::vector<unsigned char> bytes;
        if (!fromHex(a.value, bytes)) return fail("\"" + a.value + "\" is not an even number of hex digits");
        ok = PutProfileBinary(section, name, bytes.data(), static_cast<uint32_t>(bytes.size()));
    } else {
        ok = PutProfileString(section, name, a.value.c_str());
    }
    return ok ? kExitOk : fail(storeError());
}

int deleteValue(const SettingsArgs& a) {
    bool ok = PutProfileString(a.section.c_str(), a.hasName ? a.name.c_str() : nullptr, nullptr);
    return ok ? kExitOk : fail(storeError());
}

}  // namespace

void addSettingsCommand(CLI::App& app, CommandAction& action) {
    static SettingsArgs args;
    CLI::App* cmd = app.add_subcommand("settings", "Read and change the settings store");
    cmd->require_subcommand(1);

    CLI::App* get = cmd->add_subcommand("get", "Print a value (ints in decimal, binary values in hex)");
    get->add_option("SECTION", args.section)->required();
    get->add_option("NAME", args.name)->required();
    get->callback([&action] { action = [] { return getValue(args); }; });

    CLI::App* set = cmd->add_subcommand("set", "Write a value");
    set->add_option("SECTION", args.section)->required();
    set->add_option("NAME", args.name)->required();
    set->add_option("VALUE", args.value)->required();
    set->add_option("--type", args.type, "Kind of value; binary values are given in hex")
        ->check(CLI::IsMember({"int", "string", "binary"}))
        ->capture_default_str();
    set->callback([&action] { action = [] { return setValue(args); }; });

    CLI::App* del = cmd->add_subcommand("delete", "Delete a value, or the whole section without NAME");
    del->add_option("SECTION", args.section)->required();
    CLI::Option* name = del->add_option("NAME", args.name);
    del->callback([&action, name] {
        args.hasName = name->count() > 0;
        action = [] { return deleteValue(args); };
    });
}

}  // namespace tallory::cli
