// The process and module services: PATH search, a detached start with its
// failures, and loading a shared object by path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/files/file_system.h"
#include "platform/module/shared_library.h"
#include "platform/process/process.h"

namespace {

namespace fs = tallory::platform;

// Sets PATH for one test and puts it back.
class PathFor {
public:
    explicit PathFor(const std::string& path) : old_(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "") {
        ::setenv("PATH", path.c_str(), 1);
    }
    ~PathFor() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::system(("rm -rf '" + dir + "'").c_str());
    fs::createDirectories(dir);
    return dir;
}

void writeScript(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

TEST(Process, PathSearchTakesTheFirstExecutable) {
    const std::string dir = scratch();
    fs::createDirectories(dir + "/a");
    fs::createDirectories(dir + "/b");
    std::ofstream(dir + "/a/tool") << "not executable";
    writeScript(dir + "/b/tool", "exit 0");
    writeScript(dir + "/a/other", "exit 0");
    {
        PathFor path(dir + "/a:" + dir + "/b");
        EXPECT_EQ(fs::findOnPath("tool"), dir + "/b/tool");
        EXPECT_EQ(fs::findOnPath("other"), dir + "/a/other");
        EXPECT_EQ(fs::findOnPath("missing"), "");
        EXPECT_EQ(fs::findOnPath(""), "");
    }
    {
        // An empty entry is the current folder.
        PathFor path(":" + dir + "/nowhere");
        char here[4096];
        ASSERT_NE(::getcwd(here, sizeof here), nullptr);
        ASSERT_EQ(::chdir((dir + "/b").c_str()), 0);
        EXPECT_EQ(fs::findOnPath("tool"), "./tool");
        ASSERT_EQ(::chdir(here), 0);
    }
}

TEST(Process, DetachedStartPassesArgumentsWithoutAShell) {
    const std::string dir = scratch();
    const std::string out = dir + "/args.txt";
    writeScript(dir + "/record", "for a in \"$@\"; do echo \"[$a]\"; done > '" + out + "'");
    std::string error;
    ASSERT_TRUE(fs::spawnDetached(dir + "/record", {"one two", "$HOME", "*", ""}, error)) << error;
    std::string text;
    for (int i = 0; i < 200 && text.find("[]") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(out);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(text, "[one two]\n[$HOME]\n[*]\n[]\n");

    EXPECT_FALSE(fs::spawnDetached(dir + "/missing", {}, error));
    EXPECT_NE(error.find(dir + "/missing: "), std::string::npos) << error;
}

TEST(SharedLibrary, LoadsByPathAndFindsSymbols) {
    const std::string module = std::string(std::getenv("TALLORY_TEST_BIN")) + "/../lib/tallory/lame_enc.so";
    fs::SharedLibrary library;
    std::string error;
    ASSERT_TRUE(library.open(module, error)) << error;
    EXPECT_TRUE(library.isOpen());
    EXPECT_NE(library.symbol("beInitStream"), nullptr);
    EXPECT_EQ(library.symbol("noSuchSymbol"), nullptr);
    library.close();
    EXPECT_FALSE(library.isOpen());
    EXPECT_EQ(library.symbol("beInitStream"), nullptr);

    const std::string dir = scratch();
    std::ofstream(dir + "/fake.so") << "not an ELF file";
    EXPECT_FALSE(library.open(dir + "/fake.so", error));
    EXPECT_EQ(error.rfind(dir + "/fake.so: ", 0), 0u) << error;
    EXPECT_FALSE(library.open(dir + "/absent.so", error));
    EXPECT_FALSE(library.isOpen());
}

}  // namespace
