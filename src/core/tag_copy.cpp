#include "core/conversion_engine.h"

namespace tallory::core {

void writeConversionTag(IConvSource*, IConvTarget*, double) {}

}  // namespace tallory::core
