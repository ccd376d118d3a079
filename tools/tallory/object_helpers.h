// Finding formats and creating sources and targets for the command line.
#ifndef TALLORY_TOOLS_OBJECT_HELPERS_H
#define TALLORY_TOOLS_OBJECT_HELPERS_H

#include <string>

#include "tallory/ref.h"
#include "tallory/tallory.h"

namespace tallory::cli {

// Conversion objects are held with tallory::Ref (tallory/ref.h).
using tallory::Ref;

// The registry row named `format` (a name such as "Wave" or an extension such
// as "wav" or ".wav"); false with a reason otherwise.
bool findFormat(const std::string& format, FormatInfo& info, std::string& error);
// A source for `path`, chosen by its extension; null with a reason.
IConvSource* createSourceFor(const std::string& path, std::string& error);
// A target of that row; null with a reason.
IConvTarget* createTargetFor(const FormatInfo& info, std::string& error);

}  // namespace tallory::cli

#endif
