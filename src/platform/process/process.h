// Starting other programs: the PATH search and a spawn that does not wait.
#ifndef TALLORY_PLATFORM_PROCESS_PROCESS_H
#define TALLORY_PLATFORM_PROCESS_PROCESS_H

#include <string>
#include <vector>

namespace tallory::platform {

// The first executable `program` in the folders of PATH (an empty entry is the
// current folder); empty when there is none or PATH is unset.
std::string findOnPath(const std::string& program);

// Starts `program` (a path) with `args` after argv[0] and the caller's
// environment, without a shell; a detached thread reaps it when it ends.
// False with the reason in `error` when it cannot be started.
bool spawnDetached(const std::string& program, const std::vector<std::string>& args, std::string& error);

}  // namespace tallory::platform

#endif
