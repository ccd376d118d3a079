// Where the library itself lives, for files shipped beside it.
#ifndef TALLORY_PLATFORM_MODULE_PATH_H
#define TALLORY_PLATFORM_MODULE_PATH_H

#include <string>

namespace tallory::platform {

// The directory of the shared object (or program) that holds this code.
std::string moduleDirectory();
// The full path of that shared object (or program); empty if unknown.
std::string modulePath();

}  // namespace tallory::platform

#endif
