// The recycle bin as the freedesktop.org Trash specification describes it:
// a file is moved (never unlinked) into files/ of a trash folder, next to an
// info/<name>.trashinfo record of where it came from and when.
#ifndef TALLORY_PLATFORM_DESKTOP_TRASH_H
#define TALLORY_PLATFORM_DESKTOP_TRASH_H

#include <string>
#include <vector>

namespace tallory::platform {

struct TrashFailure {
    std::string path;
    std::string reason;
};

// $XDG_DATA_HOME/Trash, or ~/.local/share/Trash when the variable is unset.
std::string homeTrashDirectory();
// Moves each file to the trash of its file system: the home trash on the home
// file system, otherwise $topdir/.Trash/$uid or $topdir/.Trash-$uid. A file
// that cannot be moved stays where it is and is listed in the result.
std::vector<TrashFailure> moveToTrash(const std::vector<std::string>& paths);

}  // namespace tallory::platform

#endif
