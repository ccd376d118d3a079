// The settings store: registry semantics over SQLite, bad stores, and several
// threads and processes writing at once.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/settings_store.h"
#include "platform/files/file_system.h"
#include "tallory/settings.h"

extern char** environ;

namespace {

using namespace tallory::core;

std::string testDir() {
    const char* home = std::getenv("XDG_CONFIG_HOME");
    std::string dir = std::string(home != nullptr ? home : "/tmp") + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tallory::platform::createDirectories(dir);
    return dir;
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = testDir() + "/settings.sqlite3";
        std::remove(path_.c_str());
        ASSERT_TRUE(settings::openStoreAt(path_));
    }
    void TearDown() override { settings::openStore(); }

    // Sections as the database holds them, to see what reads create.
    bool sectionExists(const std::string& name) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT 1 FROM sections WHERE name = ?1", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        bool found = sqlite3_step(st) == SQLITE_ROW;
        sqlite3_finalize(st);
        sqlite3_close(db);
        return found;
    }

    std::string path_;
};

TEST_F(SettingsStore, MissingIntKeepsDefaultAndCreatesSection) {
    int value = 77;
    EXPECT_FALSE(sectionExists("Fresh"));
    EXPECT_FALSE(GetProfileIntA("Fresh", "Nothing", &value));
    EXPECT_EQ(value, 77);
    EXPECT_TRUE(sectionExists("Fresh"));
    char why[256];
    EXPECT_GT(GetProfileLastError(why, sizeof why), 0);
    EXPECT_NE(std::string(why).find(path_), std::string::npos) << why;
}

TEST_F(SettingsStore, IntStringAndBinaryRoundTrip) {
    ASSERT_TRUE(PutProfileInt("Settings", "HighPriority", -5));
    int i = 0;
    ASSERT_TRUE(GetProfileIntA("Settings", "HighPriority", &i));
    EXPECT_EQ(i, -5);
    EXPECT_EQ(GetProfileValueType("Settings", "HighPriority"), REG_DWORD);

    ASSERT_TRUE(PutProfileString("Settings", "TempPath", "/tmp/ünïcode dir"));
    char text[TALLORY_MAX_PATH];
    ASSERT_TRUE(GetProfileStringA("Settings", "TempPath", text));
    EXPECT_STREQ(text, "/tmp/ünïcode dir");
    EXPECT_EQ(GetProfileValueType("Settings", "TempPath"), REG_SZ);

    const unsigned char rect[16] = {1, 0, 0, 0, 2, 0, 0, 0, 0xff, 0, 0, 0, 0, 0, 0, 0x80};
    ASSERT_TRUE(PutProfileBinary("Settings", "OutputRect", rect, sizeof rect));
    unsigned char back[32] = {};
    uint32_t size = sizeof back;
    ASSERT_TRUE(GetProfileBinary("Settings", "OutputRect", back, &size));
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(std::memcmp(back, rect, 16), 0);
    EXPECT_EQ(GetProfileValueType("Settings", "OutputRect"), REG_BINARY);

    // Overwriting changes the kind as the registry does.
    ASSERT_TRUE(PutProfileInt("Settings", "TempPath", 3));
    EXPECT_EQ(GetProfileValueType("Settings", "TempPath"), REG_DWORD);
}

TEST_F(SettingsStore, NamesAreCaseInsensitive) {
    ASSERT_TRUE(PutProfileInt("Settings", "BPMAnalysis", 1));
    int v = 0;
    EXPECT_TRUE(GetProfileIntA("SETTINGS", "bpmanalysis", &v));
    EXPECT_EQ(v, 1);
    ASSERT_TRUE(PutProfileInt("settings", "BPManalysis", 2));
    EXPECT_TRUE(GetProfileIntA("Settings", "BPMAnalysis", &v));
    EXPECT_EQ(v, 2);
}

TEST_F(SettingsStore, StringLengthBoundary) {
    std::string fits(259, 'a');
    ASSERT_TRUE(PutProfileString("S", "fits", fits.c_str()));
    char text[TALLORY_MAX_PATH];
    ASSERT_TRUE(GetProfileStringA("S", "fits", text));
    EXPECT_EQ(std::string(text), fits);

    // 260 characters cannot be read back into a 260-byte buffer: refused at writing.
    std::string tooLong(260, 'b');
    EXPECT_FALSE(PutProfileString("S", "long", tooLong.c_str()));
    EXPECT_EQ(GetProfileValueType("S", "long"), -1);

    // A binary value longer than a string buffer fails to read as text and leaves the buffer alone.
    std::vector<char> blob(300, 'c');
    ASSERT_TRUE(PutProfileBinary("S", "blob", blob.data(), static_cast<uint32_t>(blob.size())));
    std::memset(text, 'z', sizeof text);
    EXPECT_FALSE(GetProfileStringA("S", "blob", text));
    EXPECT_EQ(text[0], 'z');
    EXPECT_EQ(text[259], 'z');
}

TEST_F(SettingsStore, IntReadsAtMostFourBytesOfAnyKind) {
    const unsigned char two[2] = {0x34, 0x12};
    ASSERT_TRUE(PutProfileBinary("S", "two", two, 2));
    int v = 0x7F000000;
    ASSERT_TRUE(GetProfileIntA("S", "two", &v));
    EXPECT_EQ(v, 0x7F001234);  // only the bytes the value has are replaced

    ASSERT_TRUE(PutProfileString("S", "word", "abcdef"));
    v = 9;
    EXPECT_FALSE(GetProfileIntA("S", "word", &v));
    EXPECT_EQ(v, 9);
}

TEST_F(SettingsStore, BinarySizeQueriesAndSmallBuffers) {
    const char data[10] = "123456789";
    ASSERT_TRUE(PutProfileBinary("B", "ten", data, 10));
    uint32_t size = 0;
    ASSERT_TRUE(GetProfileBinary("B", "ten", nullptr, &size));
    EXPECT_EQ(size, 10u);
    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_FALSE(GetProfileBinary("B", "ten", small, &size));
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(small[0], 'x');
    ASSERT_TRUE(PutProfileBinary("B", "empty", nullptr, 0));
    size = 4;
    ASSERT_TRUE(GetProfileBinary("B", "empty", small, &size));
    EXPECT_EQ(size, 0u);
}

TEST_F(SettingsStore, DeletingValuesAndSections) {
    ASSERT_TRUE(PutProfileInt("Sounds", "x", 1));
    ASSERT_TRUE(PutProfileString("Sounds", "ConversionDone", "/a.wav"));
    ASSERT_TRUE(PutProfileInt("Other", "keep", 5));

    EXPECT_TRUE(PutProfileString("Sounds", "x", nullptr));
    int v = 3;
    EXPECT_FALSE(GetProfileIntA("Sounds", "x", &v));
    EXPECT_EQ(v, 3);
    EXPECT_FALSE(PutProfileString("Sounds", "x", nullptr));  // already gone

    EXPECT_TRUE(PutProfileString("Sounds", nullptr, nullptr));
    EXPECT_FALSE(sectionExists("Sounds"));
    char text[TALLORY_MAX_PATH] = "default";
    EXPECT_FALSE(GetProfileStringA("Sounds", "ConversionDone", text));
    EXPECT_STREQ(text, "default");
    EXPECT_TRUE(sectionExists("Sounds"));  // the read recreated it, empty

    ASSERT_TRUE(GetProfileIntA("Other", "keep", &v));
    EXPECT_EQ(v, 5);
    EXPECT_TRUE(PutProfileInt("Sounds", "again", 1));
}

TEST_F(SettingsStore, SectionKeys) {
    HKEY key = GetSectionKey("BurnCD");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(sectionExists("BurnCD"));
    CloseSectionKey(key);
    EXPECT_EQ(GetSectionKey(nullptr), nullptr);
}

TEST_F(SettingsStore, NullArgumentsFail) {
    int v = 1;
    char text[TALLORY_MAX_PATH];
    EXPECT_FALSE(GetProfileIntA(nullptr, "a", &v));
    EXPECT_FALSE(GetProfileIntA("S", nullptr, &v));
    EXPECT_FALSE(GetProfileIntA("S", "a", nullptr));
    EXPECT_FALSE(GetProfileStringA("S", "a", nullptr));
    EXPECT_FALSE(PutProfileInt(nullptr, "a", 1));
    EXPECT_FALSE(PutProfileBinary("S", "a", nullptr, 4));
    EXPECT_FALSE(GetProfileBinary("S", "a", text, nullptr));
}

TEST_F(SettingsStore, ManyThreadsLoseNothing) {
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                EXPECT_TRUE(PutProfileInt("Threads", name.c_str(), t * 1000 + i));
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            int v = -1;
            std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
            ASSERT_TRUE(GetProfileIntA("Threads", name.c_str(), &v));
            EXPECT_EQ(v, t * 1000 + i);
        }
    }
}

TEST(SettingsProcesses, TwoProcessesAtOnceLoseNothing) {
    std::string home = testDir();
    std::string bin = std::string(std::getenv("TALLORY_TEST_BIN")) + "/settings_hammer";
    std::string env = "XDG_CONFIG_HOME=" + home;
    constexpr int kCount = 150;
    std::vector<pid_t> pids;
    for (const char* prefix : {"a", "b"}) {
        std::string count = std::to_string(kCount);
        char* argv[] = {bin.data(), const_cast<char*>("Race"), const_cast<char*>(prefix), count.data(), nullptr};
        char* envp[] = {env.data(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, bin.c_str(), nullptr, nullptr, argv, envp), 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_TRUE(settings::openStoreAt(home + "/Veshna/Tallory/settings.sqlite3"));
    for (const char* prefix : {"a", "b"}) {
        for (int i = 0; i < kCount; ++i) {
            int v = -1;
            std::string name = prefix + std::to_string(i);
            ASSERT_TRUE(GetProfileIntA("Race", name.c_str(), &v)) << name;
            EXPECT_EQ(v, i);
        }
    }
    settings::openStore();
}

TEST(SettingsBadStore, CorruptFileFailsEveryCallAndSaysWhy) {
    std::string path = testDir() + "/corrupt.sqlite3";
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string(4096, 'G') << "this is not a database";
    }
    EXPECT_FALSE(settings::openStoreAt(path));
    int v = 11;
    EXPECT_FALSE(GetProfileIntA("Settings", "x", &v));
    EXPECT_EQ(v, 11);
    EXPECT_FALSE(PutProfileInt("Settings", "x", 1));
    char why[512];
    GetProfileLastError(why, sizeof why);
    EXPECT_NE(std::string(why).find(path), std::string::npos) << why;
    EXPECT_NE(std::string(why).find("not a database"), std::string::npos) << why;
    settings::openStore();
}

TEST(SettingsBadStore, UnwritableFolderFails) {
    if (geteuid() == 0) {
        // root writes anywhere; a path under a regular file cannot be created by anyone.
        std::string file = testDir() + "/plainfile";
        std::ofstream(file) << "x";
        EXPECT_FALSE(settings::openStoreAt(file + "/sub/settings.sqlite3"));
    } else {
        std::string dir = testDir() + "/locked";
        tallory::platform::createDirectories(dir);
        chmod(dir.c_str(), 0500);
        EXPECT_FALSE(settings::openStoreAt(dir + "/sub/settings.sqlite3"));
        chmod(dir.c_str(), 0700);
    }
    EXPECT_FALSE(PutProfileInt("Settings", "x", 1));
    char why[512];
    GetProfileLastError(why, sizeof why);
    EXPECT_NE(std::string(why).find("cannot create folder"), std::string::npos) << why;
    settings::openStore();
}

}  // namespace
