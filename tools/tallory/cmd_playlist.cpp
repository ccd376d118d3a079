// tallory playlist show: the entries of an M3U, PLS or ASX (.wax) playlist.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

int runShow(const std::string& path) {
    // The library reads a missing playlist as an empty one; here it is a mistake.
    if (!std::ifstream(path, std::ios::binary)) return fail(path + ": cannot read this file");
    IPlaylist* probe = nullptr;
    if (FAILED(PlaylistCreateFromFile(path.c_str(), &probe)) || probe == nullptr) {
        return fail(path + ": not a playlist (the name must end in .m3u, .pls or .wax)");
    }
    probe->Destroy();
    IPlaylist* playlist = nullptr;
    if (FAILED(PlaylistOpenFile(path.c_str(), &playlist)) || playlist == nullptr) {
        return fail(path + ": cannot read this playlist");
    }
    std::vector<char> entry(TALLORY_PLAYLIST_ENTRY_MAX);
    while (PlaylistGetNextEx(playlist, entry.data(), static_cast<int>(entry.size())) == S_OK) {
        std::printf("%s\n", entry.data());
    }
    playlist->Destroy();
    return kExitOk;
}

}  // namespace

void addPlaylistCommand(CLI::App& app, CommandAction& action) {
    static std::string path;
    CLI::App* cmd = app.add_subcommand("playlist", "Read playlists");
    cmd->require_subcommand(1);
    CLI::App* show = cmd->add_subcommand("show", "Print the entries of a playlist, one path a line");
    show->add_option("FILE", path, "An .m3u, .pls or .wax playlist")->required();
    show->callback([&action] { action = [] { return runShow(path); }; });
}

}  // namespace tallory::cli
