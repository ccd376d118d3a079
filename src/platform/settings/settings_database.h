// The registry stand-in: sections of typed values in one SQLite database.
// One statement per operation and a busy timeout, so that several threads and
// processes can share the file.
#ifndef TALLORY_PLATFORM_SETTINGS_DATABASE_H
#define TALLORY_PLATFORM_SETTINGS_DATABASE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

namespace tallory::platform {

// Registry value kinds (REG_SZ, REG_BINARY, REG_DWORD).
enum class ValueKind : int { String = 1, Binary = 3, Int = 4 };

struct StoredValue {
    ValueKind kind = ValueKind::Binary;
    // The bytes a registry read would return: 4 little-endian bytes for an int,
    // the text and its terminator for a string, the data of a binary value.
    std::vector<uint8_t> bytes;
};

// Outcome of one operation; message names the store and the reason.
struct [[nodiscard]] StoreResult {
    bool ok = false;
    std::string message;
    explicit operator bool() const { return ok; }
};

class SettingsDatabase {
public:
    // Opens (creating if needed) the database and its folder.
    static std::unique_ptr<SettingsDatabase> open(const std::string& path, std::string& error);
    ~SettingsDatabase();
    SettingsDatabase(const SettingsDatabase&) = delete;
    SettingsDatabase& operator=(const SettingsDatabase&) = delete;

    const std::string& path() const { return path_; }

    StoreResult createSection(const std::string& section);
    // Creates the section if missing, as a registry read does.
    StoreResult read(const std::string& section, const std::string& name, StoredValue& out);
    StoreResult write(const std::string& section, const std::string& name, ValueKind kind,
                      const void* data, size_t size);
    StoreResult removeValue(const std::string& section, const std::string& name);
    StoreResult removeSection(const std::string& section);

private:
    SettingsDatabase(sqlite3* db, std::string path);
    StoreResult failure(const char* what);

    sqlite3* db_;
    std::string path_;
    std::mutex mutex_;  // keeps each statement and its error text together
};

// $XDG_CONFIG_HOME/Veshna/Tallory/settings.sqlite3, with ~/.config when unset.
std::string defaultSettingsPath();

}  // namespace tallory::platform

#endif
