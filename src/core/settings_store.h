// The process-wide settings store behind the GetProfile/PutProfile exports.
#ifndef TALLORY_CORE_SETTINGS_STORE_H
#define TALLORY_CORE_SETTINGS_STORE_H

#include <string>

namespace tallory::core::settings {

// Opens the store at its default place; called at library load. Without a
// store every call fails.
void openStore();
// Opens the store at path instead (closing the current one); for tests and tools.
bool openStoreAt(const std::string& path);
void closeStore();

// Convenience readers for the library's own keys: the stored value, or the default.
int readInt(const char* section, const char* name, int defaultValue);
std::string readString(const char* section, const char* name, const std::string& defaultValue);

}  // namespace tallory::core::settings

#endif
