// Playlists: reading M3U, PLS and ASX files written here byte by byte,
// writing M3U and reading it back, the factory's choices and limits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/file_system.h"
#include "tallory/tallory.h"

using namespace std::string_literals;

namespace {

namespace fs = tallory::platform;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

void write(const std::string& path, const std::string& bytes) {
    fs::createDirectories(fs::directoryOf(path));
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> entriesOf(IPlaylist* list) {
    std::vector<std::string> out;
    std::vector<char> buffer(TALLORY_PLAYLIST_ENTRY_MAX);
    list->Reset();
    while (PlaylistGetNextEx(list, buffer.data(), static_cast<int>(buffer.size())) == S_OK) out.emplace_back(buffer.data());
    return out;
}

std::vector<std::string> load(const std::string& path) {
    IPlaylist* list = nullptr;
    EXPECT_EQ(PlaylistCreateFromFile(path.c_str(), &list), S_OK) << path;
    if (list == nullptr) return {};
    std::vector<std::string> out = entriesOf(list);
    list->Destroy();
    return out;
}

struct MessageBoxes {
    static inline std::vector<std::string> texts, captions;
    static inline std::vector<uint32_t> styles;
    static int record(HWND, const char* text, const char* caption, uint32_t style) {
        texts.emplace_back(text);
        captions.emplace_back(caption);
        styles.push_back(style);
        return IDOK;
    }
};

using Vec = std::vector<std::string>;

TEST(M3u, EntriesResolveAgainstTheListsFolder) {
    std::string dir = scratch();
    std::string list = dir + "/Lists/list.m3u";
    write(list,
          "\xEF\xBB\xBFmusic/a.mp3\r\n"
          "#EXTM3U\n#EXTINF:123,Artist - Title\n"
          "../b.mp3\n"
          "/abs/c.mp3   \t\r\n"
          "\n   \n"
          "http://radio/stream\nftp://host/x.mp3\nfile:///x.mp3\n"
          "sub\\d.mp3\n"
          "\\\\server\\share\\e.mp3\n"
          "./x/../f.mp3\n"
          "../../../../../../../../../../g.mp3\n"
          " h.mp3\n"
          "last.mp3");
    EXPECT_EQ(load(list), (Vec{dir + "/Lists/music/a.mp3", dir + "/b.mp3", "/abs/c.mp3", dir + "/Lists/sub/d.mp3",
                               "//server/share/e.mp3", dir + "/Lists/f.mp3", "/g.mp3", dir + "/Lists/ h.mp3",
                               dir + "/Lists/last.mp3"}));
}

TEST(M3u, EntriesUpToALinuxPathAreKept) {
    std::string dir = scratch();
    std::string list = dir + "/l.m3u";
    const std::string longest = "/" + std::string(4094, 'y');  // 4095 bytes: the longest Linux path
    write(list, "/" + std::string(4095, 'x') + "\n/ok.mp3\n/" + std::string(300, 'w') + "\n" + longest +
                    "\n/a\0b.mp3\n"s);
    EXPECT_EQ(load(list), (Vec{"/ok.mp3", "/" + std::string(300, 'w'), longest, "/a"}));

    // The fixed 260-byte GetNext passes over what it cannot hold, without cutting it.
    IPlaylist* playlist = nullptr;
    ASSERT_EQ(PlaylistCreateFromFile(list.c_str(), &playlist), S_OK);
    char buffer[TALLORY_MAX_PATH];
    EXPECT_EQ(playlist->GetNext(buffer), S_OK);
    EXPECT_STREQ(buffer, "/ok.mp3");
    EXPECT_EQ(playlist->GetNext(buffer), S_FALSE);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(playlist->GetNext(buffer), S_FALSE);
    EXPECT_EQ(playlist->GetNext(buffer), S_OK);
    EXPECT_STREQ(buffer, "/a");
    EXPECT_EQ(playlist->GetNext(buffer), E_FAIL);
    playlist->Reset();
    char small[8];
    EXPECT_EQ(PlaylistGetNextEx(playlist, small, sizeof small), S_OK);  // "/ok.mp3" and its NUL
    EXPECT_EQ(PlaylistGetNextEx(playlist, small, sizeof small), S_FALSE);
    EXPECT_EQ(PlaylistGetNextEx(playlist, small, 0), E_INVALIDARG);
    EXPECT_EQ(PlaylistGetNextEx(nullptr, small, sizeof small), E_INVALIDARG);
    playlist->Destroy();
}

TEST(M3u, SaveWritesEntriesInsideTheFolderRelatively) {
    std::string dir = scratch();
    std::string path = dir + "/Music/list.m3u";
    fs::createDirectories(dir + "/Music");
    IPlaylist* list = nullptr;
    ASSERT_EQ(PlaylistCreateFromFile(path.c_str(), &list), S_OK);
    int count = -1;
    EXPECT_EQ(list->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0);
    char buffer[TALLORY_MAX_PATH];
    EXPECT_EQ(list->GetNext(buffer), E_FAIL);
    Vec entries{dir + "/Music/a.mp3", dir + "/Music2/b.mp3", "/c.mp3", dir + "/Music/sub/d e.mp3"};
    for (const std::string& e : entries) EXPECT_EQ(list->AddEntry(e.c_str()), S_OK);
    EXPECT_EQ(list->AddEntry(std::string(TALLORY_PLAYLIST_ENTRY_MAX, 'z').c_str()), E_INVALIDARG);
    EXPECT_EQ(list->AddEntry(nullptr), E_INVALIDARG);
    EXPECT_EQ(list->GetCount(nullptr), E_INVALIDARG);
    EXPECT_EQ(list->Save(path.c_str()), S_OK);
    list->Destroy();
    EXPECT_EQ(read(path), "# Created by Tallory v4.5\r\n# Get this program at: https://www.veshna.com/tallory/\r\n"
                          "./a.mp3\r\n" + dir + "/Music2/b.mp3\r\n/c.mp3\r\n./sub/d e.mp3\r\n");
    // Read back, the relative entries are whole paths again.
    EXPECT_EQ(load(path), entries);
}

TEST(M3u, LoadAppendsAndSaveCanFail) {
    std::string dir = scratch();
    std::string path = dir + "/l.m3u";
    write(path, "/a\n/b\n");
    IPlaylist* list = nullptr;
    ASSERT_EQ(PlaylistCreateFromFile(path.c_str(), &list), S_OK);
    char buffer[TALLORY_MAX_PATH];
    EXPECT_EQ(list->GetNext(buffer), S_OK);
    EXPECT_EQ(list->Load(path.c_str()), S_OK);  // appends and rewinds
    EXPECT_EQ(entriesOf(list), (Vec{"/a", "/b", "/a", "/b"}));
    EXPECT_EQ(list->Load((dir + "/missing.m3u").c_str()), E_FAIL);
    EXPECT_EQ(list->Save((dir + "/no/such/folder/l.m3u").c_str()), E_FAIL);
    fs::createDirectories(dir + "/adir.m3u");
    EXPECT_EQ(list->Save((dir + "/adir.m3u").c_str()), E_FAIL);
    list->Destroy();
}

TEST(Pls, FileKeysInFileOrder) {
    std::string dir = scratch();
    std::string path = dir + "/p/list.pls";
    write(path,
          "[playlist]\r\nNumberOfEntries=4\r\n"
          "File2=second.mp3\r\nTitle2=Two\r\nLength2=10\r\n"
          "File1=..\\first.mp3  \r\n"
          "  File3=ftp://host/x.mp3\n"
          "file4=lower.mp3\n"
          "garbage line without key\n"
          "=novalue\n"
          "File5=/abs/five.mp3\n"
          "File6=\n"
          "Version=2");
    EXPECT_EQ(load(path), (Vec{dir + "/p/second.mp3", dir + "/first.mp3", "/abs/five.mp3"}));
}

TEST(Asx, EntriesRefsAndNames) {
    std::string dir = scratch();
    std::string path = dir + "/list.wax";
    write(path,
          "<Asx version=\"3.0\">\n"
          " <Entry><Ref href=\"a.wma\"/><Ref href=\"ignored.wma\"/></Entry>\n"
          " <Entry><Title>t</Title></Entry>\n"
          " <Repeat><Entry><Ref href=\"http://host/stream\"/></Entry></Repeat>\n"
          " <Entry><Ref/><Ref href=\"second ref\"/></Entry>\n"
          " <entry><Ref href=\"lower.wma\"/></entry>\n"
          " <Entry><ref href=\"lowerref.wma\"/></Entry>\n"
          " <Entry><Ref HREF=\"upperattr.wma\"/></Entry>\n"
          " <Entry><Ref href=\"C:\\x\\y.wma\"/></Entry>\n"
          "</Asx>\n");
    // Taken as they stand: no resolving, no separator change, URLs too; names
    // of elements and attributes in any case.
    EXPECT_EQ(load(path), (Vec{"a.wma", "http://host/stream", "lower.wma", "lowerref.wma", "upperattr.wma",
                               "C:\\x\\y.wma"}));
    write(path, "<asx><entry><ref href=\"a.wma\"/></entry></asx>");
    EXPECT_EQ(load(path), Vec{"a.wma"});
    write(path, "<ASX><ENTRY><REF HREF=\"b.wma\"/></ENTRY></ASX>");
    EXPECT_EQ(load(path), Vec{"b.wma"});
    // Only under the Asx root.
    write(path, "<Playlist><Entry><Ref href=\"c.wma\"/></Entry></Playlist>");
    EXPECT_EQ(load(path), Vec{});
}

TEST(Asx, ParseErrorsGoToAMessageBox) {
    std::string dir = scratch();
    std::string path = dir + "/bad.wax";
    write(path, "<Asx>\n<Entry><Ref href=\"a.wma\"/></Entry>\n<Entry>\n</Asx>\n");
    TalloryUiHooks hooks{};
    hooks.size = sizeof hooks;
    hooks.messageBox = MessageBoxes::record;
    TalloryRegisterUi(&hooks);
    EXPECT_EQ(load(path), Vec{});
    EXPECT_EQ(load(dir + "/missing.wax"), Vec{});  // a missing file is no parse error
    // External entities are neither fetched nor expanded.
    write(path, "<!DOCTYPE Asx [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                "<Asx><Entry><Ref href=\"&x;\"/></Entry></Asx>");
    for (const std::string& e : load(path)) EXPECT_EQ(e.find("root:"), std::string::npos);
    TalloryRegisterUi(nullptr);
    ASSERT_GE(MessageBoxes::texts.size(), 1u);
    EXPECT_EQ(MessageBoxes::captions[0], "Parse Error");
    EXPECT_EQ(MessageBoxes::styles[0], MB_OK | MB_ICONERROR);
    const std::string& text = MessageBoxes::texts[0];
    EXPECT_EQ(text.rfind("Error processing XML file: " + path + "\nError on line 4, position ", 0), 0u) << text;
    EXPECT_NE(text.find("\nError (4c) text: "), std::string::npos) << text;
}

TEST(Playlist, OpenFileFailsForWhatCannotBeRead) {
    std::string dir = scratch();
    TalloryUiHooks hooks{};
    hooks.size = sizeof hooks;
    hooks.messageBox = MessageBoxes::record;
    TalloryRegisterUi(&hooks);
    MessageBoxes::texts.clear();
    MessageBoxes::captions.clear();
    IPlaylist* list = reinterpret_cast<IPlaylist*>(&hooks);
    write(dir + "/cut.wax", "<Asx version=\"3.0\"><Entry><Ref href=\"a.wav\"/></Entry>");
    EXPECT_EQ(PlaylistOpenFile((dir + "/cut.wax").c_str(), &list), E_FAIL);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(PlaylistOpenFile((dir + "/missing.m3u").c_str(), &list), E_FAIL);
    EXPECT_EQ(PlaylistOpenFile((dir + "/x.txt").c_str(), &list), E_FAIL);
    EXPECT_EQ(PlaylistOpenFile(nullptr, &list), E_INVALIDARG);
    write(dir + "/good.pls", "[playlist]\nFile1=/a.mp3\nFile2=/" + std::string(5000, 'p') + "\n");
    ASSERT_EQ(PlaylistOpenFile((dir + "/good.pls").c_str(), &list), S_OK);
    EXPECT_EQ(entriesOf(list), Vec{"/a.mp3"});
    list->Destroy();
    TalloryRegisterUi(nullptr);
    // The parse error and the refused entry were both told.
    ASSERT_EQ(MessageBoxes::captions.size(), 2u);
    EXPECT_EQ(MessageBoxes::captions[0], "Parse Error");
    EXPECT_NE(MessageBoxes::texts[1].find("1 entry of " + dir + "/good.pls is longer than 4095 bytes"),
              std::string::npos)
        << MessageBoxes::texts[1];
}

TEST(Playlist, FactoryChoosesByExactExtension) {
    std::string dir = scratch();
    IPlaylist* list = nullptr;
    EXPECT_EQ(PlaylistCreateFromFile(nullptr, &list), E_INVALIDARG);
    EXPECT_EQ(PlaylistCreateFromFile("/x.m3u", nullptr), E_INVALIDARG);
    for (const char* refused : {"/x.M3U", "/x.txt", "/x", "/a.m3u/x", "/x.m3u8", "/x.asx"}) {
        EXPECT_EQ(PlaylistCreateFromFile(refused, &list), E_FAIL) << refused;
    }
    for (const char* name : {"/l.pls", "/l.wax"}) {
        std::string path = dir + name;
        ASSERT_EQ(PlaylistCreateFromFile(path.c_str(), &list), S_OK);
        EXPECT_EQ(list->AddEntry("/a"), S_OK);
        EXPECT_EQ(list->Save(path.c_str()), E_NOTIMPL);
        EXPECT_FALSE(fs::pathExists(path));
        EXPECT_EQ(list->Destroy(), 0);
    }
}

}  // namespace
