// The library's string table: display texts by numeric identifier.
#ifndef TALLORY_CORE_STRING_TABLE_H
#define TALLORY_CORE_STRING_TABLE_H

#include <cstdint>

namespace tallory::core {

// The text of identifier id, or null if the table has none.
const char* loadString(uint32_t id);

}  // namespace tallory::core

#endif
