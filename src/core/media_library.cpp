// AddToMediaLibrary: a script for the media player's library, opened by the desktop.
#include <cstdio>
#include <string>

#include "core/export_guard.h"
#include "core/settings_store.h"
#include "platform/desktop/open_document.h"
#include "platform/files/file_system.h"
#include "platform/files/temp_file.h"
#include "tallory/batch.h"

namespace tallory::core {

namespace {

// The path goes into a quoted script string: a quote in it is doubled, so the
// path cannot end the string early and add statements of its own.
std::string quotedForScript(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0) ok = false;
    return ok;
}

}  // namespace

}  // namespace tallory::core

static HRESULT addToMediaLibrary(HWND owner, const char* path) {
    using namespace tallory;
    if (core::settings::readInt("Settings", "AddToMediaLibrary", 0) == 0) return S_FALSE;
    if (path == nullptr) return E_INVALIDARG;
    std::string dir = platform::temporaryDirectory(core::settings::readString("Settings", "TempPath", ""));
    std::string temp = platform::createNamedTempFile(dir, "vbs");
    if (temp.empty()) return E_FAIL;
    std::string script = "On Error Resume Next\r\nDim Player\r\nSet Player = CreateObject(\"WMPlayer.OCX\")\r\n"
                         "Player.MediaCollection.add(\"" +
                         core::quotedForScript(path) + "\")";
    std::string runnable = temp + ".vbs";
    if (!core::writeFile(temp, script) || !core::writeFile(runnable, script)) {
        platform::removeFile(runnable);
        platform::removeFile(temp);
        return E_FAIL;
    }
    platform::openDocument(runnable, owner == nullptr);
    platform::removeFile(runnable);
    platform::removeFile(temp);
    return S_OK;
}

extern "C" TALLORY_API HRESULT AddToMediaLibrary(HWND owner, const char* path) noexcept {
    return tallory::core::guardExport("AddToMediaLibrary", E_FAIL, [&] { return addToMediaLibrary(owner, path); });
}
