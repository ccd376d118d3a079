#include "core/library.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/export_guard.h"
#include "core/settings_store.h"
#include "core/ui_bridge.h"
#include "platform/module/module_path.h"
#include "platform/process/process.h"
#include "tallory/library.h"
#include "tallory/settings.h"

namespace tallory::core {

namespace {

// The referrer code lives from load to unload; only the loader writes it.
std::string& referrerStorage() {
    static std::string code;
    return code;
}

// Linux has no Favorites folder to copy the home-page shortcut into; the
// flag is written anyway, as it is after any failed copy.
void offerHomePageLink() {
    int added = 0;
    GetProfileIntA("Settings", "HomePageLinkAdded", &added);
    if (added == 0) PutProfileInt("Settings", "HomePageLinkAdded", 1);
}

// Splits a parameter text into arguments: blanks separate, double quotes group.
std::vector<std::string> splitParameters(const char* text) {
    std::vector<std::string> args;
    if (text == nullptr) return args;
    std::string current;
    bool inQuotes = false, started = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"') {
            inQuotes = !inQuotes;
            started = true;
        } else if (!inQuotes && std::isspace(static_cast<unsigned char>(*p))) {
            if (started) args.push_back(current);
            current.clear();
            started = false;
        } else {
            current += *p;
            started = true;
        }
    }
    if (started) args.push_back(current);
    return args;
}

struct LibraryLifetime {
    LibraryLifetime() {
        settings::openStore();
        offerHomePageLink();
        std::string dir = platform::moduleDirectory();
        if (!dir.empty()) referrerStorage() = readReferrerCode(dir + "/Ref.txt");
    }
    ~LibraryLifetime() { settings::closeStore(); }
};

LibraryLifetime lifetime;

}  // namespace

std::string readReferrerCode(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    char buffer[80];
    size_t n = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    std::string code(buffer, n);
    for (char& c : code) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = 'x';
    }
    return code;
}

const std::string& referrerCode() { return referrerStorage(); }

std::string findOnPath(const std::string& program) { return platform::findOnPath(program); }

}  // namespace tallory::core

using namespace tallory::core;

extern "C" {

static int addReferer(const char* url, char* buffer, int capacity) {
    if (url == nullptr) return -1;
    std::string result(url);
    if (!referrerCode().empty()) result += "?ref=" + referrerCode();
    if (buffer != nullptr && capacity > 0) {
        size_t n = result.size() < static_cast<size_t>(capacity - 1) ? result.size() : static_cast<size_t>(capacity - 1);
        std::memcpy(buffer, result.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(result.size());
}

TALLORY_API int AddReferer(const char* url, char* buffer, int capacity) noexcept {
    return tallory::core::guardExport("AddReferer", -1, [&] { return addReferer(url, buffer, capacity); });
}

static bool runOrlandaRecorder(HWND parent, const char* parameters) {
    std::string program = findOnPath(kRecorderProgram);
    if (program.empty()) {
        int answer = ui::messageBox(parent,
                                    "Orlanda Recorder is not installed. Do you want to install it now?",
                                    TALLORY_PRODUCT_NAME, MB_YESNO | MB_ICONQUESTION);
        if (answer == IDYES) {
            ui::messageBox(parent,
                           "The setup program of Orlanda Recorder (orlr/Setup.exe) is a Windows program and cannot "
                           "run on Linux. Install the recorder for Linux and make sure \"orlandarecorder\" is on "
                           "your PATH.",
                           TALLORY_PRODUCT_NAME, MB_OK | MB_ICONINFORMATION);
        }
        return false;
    }
    std::string error;
    return tallory::platform::spawnDetached(program, splitParameters(parameters), error);
}

TALLORY_API bool RunOrlandaRecorder(HWND parent, const char* parameters) noexcept {
    return tallory::core::guardExport("RunOrlandaRecorder", false, [&] { return runOrlandaRecorder(parent, parameters); });
}

TALLORY_API const char* TalloryVersion(void) noexcept { return TALLORY_PRODUCT_VERSION; }

}  // extern "C"
