// The static table of the formats: the original seven, then FLAC and Opus.
#ifndef TALLORY_CORE_FORMAT_REGISTRY_H
#define TALLORY_CORE_FORMAT_REGISTRY_H

#include <string_view>

#include "tallory/formats.h"

namespace tallory::core {

inline constexpr uint32_t kFormatCount = 9;

// The rows as stored (descriptions not filled in).
const FormatInfo& formatRow(uint32_t index);
// The extension of path as the registry compares it: from the last dot that is
// followed by neither a space nor a separator, dot included; empty if none.
std::string_view pathExtension(std::string_view path);

}  // namespace tallory::core

#endif
