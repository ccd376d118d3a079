#include "platform/desktop/open_document.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace tallory::platform {

bool openDocument(const std::string& path, bool quiet) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (quiet) {
        ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::string program = "xdg-open";
    std::string argument = path;
    std::vector<char*> argv{program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    int rc = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace tallory::platform
