#include "core/settings_store.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <shared_mutex>

#include "core/export_guard.h"
#include "platform/settings/settings_database.h"
#include "tallory/library.h"
#include "tallory/settings.h"

using tallory::platform::SettingsDatabase;
using tallory::platform::StoredValue;
using tallory::platform::StoreResult;
using tallory::platform::ValueKind;

struct TallorySectionKey {
    std::string section;
};

namespace tallory::core::settings {

namespace {

// The root: opened at load, closed at unload. Calls share it read-only in
// between; the lock only guards a reopen. Built on first use, because the
// library opens it from a load-time initializer of another file.
struct Root {
    std::shared_mutex mutex;
    std::unique_ptr<SettingsDatabase> db;
    std::string openError;
};

Root& rootState() {
    static Root state;
    return state;
}

thread_local std::string lastError;

// Runs op on the open store, recording why it failed.
template <class Op>
bool withStore(Op op) {
    Root& root = rootState();
    std::shared_lock<std::shared_mutex> lock(root.mutex);
    if (!root.db) {
        lastError = root.openError.empty() ? "settings store is not open" : root.openError;
        return false;
    }
    StoreResult r = op(*root.db);
    lastError = r.ok ? std::string() : r.message;
    return r.ok;
}

bool badArgument(const char* what) {
    lastError = std::string("settings store: ") + what;
    return false;
}

}  // namespace

void openStore() { openStoreAt(platform::defaultSettingsPath()); }

bool openStoreAt(const std::string& path) {
    Root& root = rootState();
    std::unique_lock<std::shared_mutex> lock(root.mutex);
    root.db.reset();
    root.openError.clear();
    root.db = SettingsDatabase::open(path, root.openError);
    // Said once where a person sees it; every later call fails with the same text.
    if (!root.db && root.openError.find(": damaged (") != std::string::npos) {
        std::fprintf(stderr, "%s: %s\n", TALLORY_PRODUCT_NAME, root.openError.c_str());
    }
    return root.db != nullptr;
}

void closeStore() {
    Root& root = rootState();
    std::unique_lock<std::shared_mutex> lock(root.mutex);
    root.db.reset();
}

int readInt(const char* section, const char* name, int defaultValue) {
    int value = defaultValue;
    GetProfileIntA(section, name, &value);
    return value;
}

std::string readString(const char* section, const char* name, const std::string& defaultValue) {
    char buffer[TALLORY_MAX_PATH];
    return GetProfileStringA(section, name, buffer) ? std::string(buffer) : defaultValue;
}

}  // namespace tallory::core::settings

using namespace tallory::core::settings;

static bool getProfileIntA(const char* section, const char* name, int* value) {
    if (section == nullptr || name == nullptr || value == nullptr) return badArgument("null section, name or value");
    return withStore([&](SettingsDatabase& db) {
        StoredValue v;
        StoreResult r = db.read(section, name, v);
        if (!r) return r;
        // At most 4 bytes, whatever the stored kind, as the registry reads them.
        if (v.bytes.size() > sizeof(int)) {
            return StoreResult{false, "settings store " + db.path() + ": value \"" + std::string(name) + "\" holds " +
                                          std::to_string(v.bytes.size()) + " bytes; an int holds 4"};
        }
        uint32_t bits = 0;
        std::memcpy(&bits, value, sizeof bits);
        for (size_t i = 0; i < v.bytes.size(); ++i) {
            bits = (bits & ~(0xFFu << (8 * i))) | (static_cast<uint32_t>(v.bytes[i]) << (8 * i));
        }
        std::memcpy(value, &bits, sizeof bits);
        return r;
    });
}

TALLORY_API bool GetProfileIntA(const char* section, const char* name, int* value) noexcept {
    return tallory::core::guardExport("GetProfileIntA", false, [&] { return getProfileIntA(section, name, value); });
}

static bool getProfileStringA(const char* section, const char* name, char* buffer) {
    if (section == nullptr || name == nullptr || buffer == nullptr) return badArgument("null section, name or buffer");
    return withStore([&](SettingsDatabase& db) {
        StoredValue v;
        StoreResult r = db.read(section, name, v);
        if (!r) return r;
        if (v.bytes.size() > TALLORY_MAX_PATH) {
            return StoreResult{false, "settings store " + db.path() + ": value \"" + std::string(name) + "\" holds " +
                                          std::to_string(v.bytes.size()) + " bytes; a string holds at most 260"};
        }
        std::memcpy(buffer, v.bytes.data(), v.bytes.size());
        // A binary value read as text may lack a terminator.
        if (v.bytes.size() < TALLORY_MAX_PATH) buffer[v.bytes.size()] = '\0';
        else buffer[TALLORY_MAX_PATH - 1] = '\0';
        return r;
    });
}

TALLORY_API bool GetProfileStringA(const char* section, const char* name, char* buffer) noexcept {
    return tallory::core::guardExport("GetProfileStringA", false, [&] { return getProfileStringA(section, name, buffer); });
}

extern "C" {

static HKEY getSectionKey(const char* section) {
    if (section == nullptr) {
        badArgument("null section");
        return nullptr;
    }
    if (!withStore([&](SettingsDatabase& db) { return db.createSection(section); })) return nullptr;
    return new (std::nothrow) TallorySectionKey{section};
}

TALLORY_API HKEY GetSectionKey(const char* section) noexcept {
    return tallory::core::guardExport("GetSectionKey", HKEY{nullptr}, [&] { return getSectionKey(section); });
}

TALLORY_API void CloseSectionKey(HKEY key) noexcept { delete key; }

static bool getProfileBinary(const char* section, const char* name, void* data, uint32_t* size) {
    if (section == nullptr || name == nullptr || size == nullptr) return badArgument("null section, name or size");
    return withStore([&](SettingsDatabase& db) {
        StoredValue v;
        StoreResult r = db.read(section, name, v);
        if (!r) return r;
        uint32_t capacity = *size;
        *size = static_cast<uint32_t>(v.bytes.size());
        if (data == nullptr) return r;
        if (v.bytes.size() > capacity) {
            return StoreResult{false, "settings store " + db.path() + ": value \"" + std::string(name) + "\" holds " +
                                          std::to_string(v.bytes.size()) + " bytes; the buffer holds " +
                                          std::to_string(capacity)};
        }
        if (!v.bytes.empty()) std::memcpy(data, v.bytes.data(), v.bytes.size());
        return r;
    });
}

TALLORY_API bool GetProfileBinary(const char* section, const char* name, void* data, uint32_t* size) noexcept {
    return tallory::core::guardExport("GetProfileBinary", false, [&] { return getProfileBinary(section, name, data, size); });
}

static bool putProfileInt(const char* section, const char* name, int value) {
    if (section == nullptr || name == nullptr) return badArgument("null section or name");
    return withStore([&](SettingsDatabase& db) { return db.write(section, name, ValueKind::Int, &value, sizeof value); });
}

TALLORY_API bool PutProfileInt(const char* section, const char* name, int value) noexcept {
    return tallory::core::guardExport("PutProfileInt", false, [&] { return putProfileInt(section, name, value); });
}

static bool putProfileString(const char* section, const char* name, const char* text) {
    if (section == nullptr) return badArgument("null section");
    if (name == nullptr) return withStore([&](SettingsDatabase& db) { return db.removeSection(section); });
    if (text == nullptr) return withStore([&](SettingsDatabase& db) { return db.removeValue(section, name); });
    size_t length = std::strlen(text);
    // A longer string could never be read back into a 260-byte buffer.
    if (length > TALLORY_MAX_PROFILE_STRING) {
        return badArgument(("string for \"" + std::string(name) + "\" is " + std::to_string(length) +
                            " bytes; at most 259 fit")
                               .c_str());
    }
    return withStore([&](SettingsDatabase& db) { return db.write(section, name, ValueKind::String, text, length); });
}

TALLORY_API bool PutProfileString(const char* section, const char* name, const char* text) noexcept {
    return tallory::core::guardExport("PutProfileString", false, [&] { return putProfileString(section, name, text); });
}

static bool putProfileBinary(const char* section, const char* name, const void* data, uint32_t size) {
    if (section == nullptr || name == nullptr || (data == nullptr && size > 0)) return badArgument("null section, name or data");
    // SQLite holds a value of at most 1,000,000,000 bytes by default.
    if (size > 1000000000u) return badArgument("binary value too large");
    return withStore([&](SettingsDatabase& db) { return db.write(section, name, ValueKind::Binary, data, size); });
}

TALLORY_API bool PutProfileBinary(const char* section, const char* name, const void* data, uint32_t size) noexcept {
    return tallory::core::guardExport("PutProfileBinary", false, [&] { return putProfileBinary(section, name, data, size); });
}

static int getProfileValueType(const char* section, const char* name) {
    if (section == nullptr || name == nullptr) {
        badArgument("null section or name");
        return -1;
    }
    int kind = -1;
    withStore([&](SettingsDatabase& db) {
        StoredValue v;
        StoreResult r = db.read(section, name, v);
        if (r) kind = static_cast<int>(v.kind);
        return r;
    });
    return kind;
}

TALLORY_API int GetProfileValueType(const char* section, const char* name) noexcept {
    return tallory::core::guardExport("GetProfileValueType", -1, [&] { return getProfileValueType(section, name); });
}

static int getProfileLastError(char* buffer, int capacity) {
    const std::string& text = lastError;
    if (buffer != nullptr && capacity > 0) {
        size_t n = text.size() < static_cast<size_t>(capacity - 1) ? text.size() : static_cast<size_t>(capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(text.size());
}

TALLORY_API int GetProfileLastError(char* buffer, int capacity) noexcept {
    return tallory::core::guardExport("GetProfileLastError", 0, [&] { return getProfileLastError(buffer, capacity); });
}

}  // extern "C"
