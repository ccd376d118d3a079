// Whole or absent: outputs and replaced files under failures injected at each
// step, a full file system, a killed writer and leftovers of dead writers.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/files/output_file.h"

namespace tallory::platform {
namespace {

std::set<std::string> listFolder(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.insert(n);
        }
        ::closedir(d);
    }
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Both ways of building a file: unnamed (O_TMPFILE) and hidden from the start.
class OutputFileTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/output_file_testXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        testing::disableUnnamedFiles(GetParam());
    }
    void TearDown() override {
        testing::failNextStep(FileStepKind::none, 0);
        testing::disableUnnamedFiles(false);
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool hidden() const { return GetParam(); }
    std::string dir_;
};

TEST_P(OutputFileTest, AppearsOnlyWhenCommitted) {
    const std::string path = dir_ + "/out.bin";
    OutputFile out;
    ASSERT_TRUE(out.create(path));
    ASSERT_TRUE(out.write("hello ", 6));
    std::FILE* f = nullptr;
    // Unnamed: nothing at all in the folder; hidden: one name no user takes for the output.
    std::set<std::string> during = listFolder(dir_);
    if (hidden()) {
        ASSERT_EQ(during.size(), 1u);
        EXPECT_TRUE(isTemporaryName(*during.begin())) << *during.begin();
    } else {
        EXPECT_TRUE(during.empty());
    }
    EXPECT_EQ(readFile(out.accessPath()), "hello ");
    ASSERT_NE(f = out.stream(), nullptr);
    ASSERT_EQ(std::fwrite("world", 1, 5, f), 5u);
    EXPECT_FALSE(std::ifstream(path).good());
    ASSERT_TRUE(out.commit(ExistingKind::keep));
    EXPECT_EQ(readFile(path), "hello world");
    EXPECT_EQ(listFolder(dir_), (std::set<std::string>{"out.bin"}));
}

TEST_P(OutputFileTest, StreamSeeksBackLikeAHeaderWriter) {
    const std::string path = dir_ + "/riff.bin";
    OutputFile out;
    ASSERT_TRUE(out.create(path));
    std::FILE* f = out.stream();
    ASSERT_NE(f, nullptr);
    std::fputs("SIZE????data", f);
    ASSERT_EQ(std::fseek(f, 4, SEEK_SET), 0);
    std::fputs("0012", f);
    ASSERT_EQ(std::fseek(f, 0, SEEK_END), 0);
    EXPECT_EQ(std::ftell(f), 12);
    ASSERT_TRUE(out.commit(ExistingKind::keep));
    EXPECT_EQ(readFile(path), "SIZE0012data");
}

TEST_P(OutputFileTest, TakenNameIsKeptOrReplaced) {
    const std::string path = dir_ + "/taken.bin";
    writeFile(path, "old");
    {
        OutputFile out;
        ASSERT_TRUE(out.create(path));
        ASSERT_TRUE(out.write("new", 3));
        FileStatus s = out.commit(ExistingKind::keep);
        EXPECT_EQ(s.error, EEXIST) << s.message;
        EXPECT_EQ(readFile(path), "old");
        EXPECT_EQ(listFolder(dir_).size(), 1u);
    }
    OutputFile out;
    ASSERT_TRUE(out.create(path));
    ASSERT_TRUE(out.write("newer", 5));
    ASSERT_TRUE(out.commit(ExistingKind::replace));
    EXPECT_EQ(readFile(path), "newer");
    EXPECT_EQ(listFolder(dir_).size(), 1u);
}

TEST_P(OutputFileTest, DiscardAndDestructionLeaveNothing) {
    {
        OutputFile out;
        ASSERT_TRUE(out.create(dir_ + "/a.bin"));
        ASSERT_TRUE(out.write("x", 1));
        out.discard();
        EXPECT_FALSE(out.isOpen());
    }
    {
        OutputFile out;
        ASSERT_TRUE(out.create(dir_ + "/b.bin"));
        ASSERT_NE(out.stream(), nullptr);
        std::fputs("buffered", out.stream());
    }
    EXPECT_TRUE(listFolder(dir_).empty());
}

TEST_P(OutputFileTest, FailureAtEachStepLeavesNothing) {
    for (FileStepKind step : {FileStepKind::create, FileStepKind::write, FileStepKind::sync, FileStepKind::link,
                              FileStepKind::rename}) {
        SCOPED_TRACE(static_cast<int>(step));
        for (ExistingKind existing : {ExistingKind::keep, ExistingKind::replace}) {
            const std::string path = dir_ + "/f.bin";
            testing::failNextStep(step, EIO);
            OutputFile out;
            FileStatus s = out.create(path);
            // A write that failed is not forgotten: the commit after it fails as well.
            if (s) {
                (void)out.write("data", 4);
                s = out.commit(existing);
            }
            testing::failNextStep(FileStepKind::none, 0);
            // A step that one way never takes (link when the file is hidden) lets the write through.
            bool stepTaken = !(step == FileStepKind::link && hidden()) &&
                             !(step == FileStepKind::rename && !hidden() && existing == ExistingKind::keep);
            if (stepTaken) {
                EXPECT_FALSE(s);
                EXPECT_EQ(s.error, EIO);
                EXPECT_NE(s.message.find("f.bin"), std::string::npos) << s.message;
                EXPECT_TRUE(listFolder(dir_).empty());
            }
            ::unlink(path.c_str());
        }
    }
}

TEST_P(OutputFileTest, ReplaceKeepsOriginalOnEveryFailure) {
    const std::string path = dir_ + "/song.mp3";
    std::string original = "ID3-old-tag|" + std::string(300000, 'a') + "|TAG";
    writeFile(path, original);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ReplacementPlan plan;
    plan.head = bytesOf("NEWHEAD|");
    plan.keepOffset = 12;
    plan.keepLength = 300001;
    plan.tail = bytesOf("NEWTAIL");
    for (FileStepKind step : {FileStepKind::create, FileStepKind::write, FileStepKind::sync, FileStepKind::link,
                              FileStepKind::rename}) {
        if (step == FileStepKind::link && hidden()) continue;
        SCOPED_TRACE(static_cast<int>(step));
        testing::failNextStep(step, ENOSPC);
        FileStatus s = replaceFile(path, plan);
        EXPECT_EQ(s.error, ENOSPC) << s.message;
        EXPECT_EQ(readFile(path), original);
        EXPECT_EQ(listFolder(dir_), (std::set<std::string>{"song.mp3"}));
    }
    testing::failNextStep(FileStepKind::none, 0);
    ASSERT_TRUE(replaceFile(path, plan));
    EXPECT_EQ(readFile(path), "NEWHEAD|" + std::string(300000, 'a') + "|NEWTAIL");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(listFolder(dir_), (std::set<std::string>{"song.mp3"}));
}

TEST_P(OutputFileTest, ReplaceThroughALinkReplacesTheFileItNames) {
    ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0755), 0);
    const std::string real = dir_ + "/real/x.wma";
    writeFile(real, "HEADERbody");
    ASSERT_EQ(::symlink("real/x.wma", (dir_ + "/link.wma").c_str()), 0);
    ReplacementPlan plan;
    plan.head = bytesOf("H2");
    plan.keepOffset = 6;
    plan.keepLength = 4;
    ASSERT_TRUE(replaceFile(dir_ + "/link.wma", plan));
    EXPECT_EQ(readFile(real), "H2body");
    struct stat st {};
    ASSERT_EQ(::lstat((dir_ + "/link.wma").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(listFolder(dir_ + "/real"), (std::set<std::string>{"x.wma"}));
}

TEST_P(OutputFileTest, ReplaceRefusesBadRangesAndSpecialFiles) {
    const std::string path = dir_ + "/short.mp3";
    writeFile(path, "0123456789");
    ReplacementPlan plan;
    plan.keepOffset = 4;
    plan.keepLength = 7;  // one past the end
    EXPECT_EQ(replaceFile(path, plan).error, EINVAL);
    plan.keepOffset = ~0ull;
    plan.keepLength = 2;  // the sum wraps
    EXPECT_EQ(replaceFile(path, plan).error, EINVAL);
    EXPECT_EQ(readFile(path), "0123456789");
    EXPECT_EQ(replaceFile(dir_, ReplacementPlan{}).error, EINVAL);
    EXPECT_EQ(replaceFile(dir_ + "/missing.mp3", ReplacementPlan{}).error, ENOENT);
    EXPECT_EQ(listFolder(dir_), (std::set<std::string>{"short.mp3"}));
}

TEST_P(OutputFileTest, KilledWriterLeavesNoOutputAndItsLeftoverIsRemoved) {
    const std::string path = dir_ + "/killed.wav";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        OutputFile out;
        if (!out.create(path)) ::_exit(3);
        std::string block(1 << 20, 'k');
        for (int i = 0; i < 4; ++i) {
            if (!out.write(block.data(), block.size())) ::_exit(4);
        }
        ::raise(SIGKILL);
        ::_exit(5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    std::set<std::string> left = listFolder(dir_);
    EXPECT_EQ(left.count("killed.wav"), 0u);
    if (!hidden()) {
        EXPECT_TRUE(left.empty());
    } else {
        ASSERT_EQ(left.size(), 1u);
        EXPECT_TRUE(isTemporaryName(*left.begin()));
        // The next writer in that folder clears what the dead one left.
        OutputFile next;
        ASSERT_TRUE(next.create(dir_ + "/other.wav"));
        std::set<std::string> now = listFolder(dir_);
        EXPECT_EQ(now.count(*left.begin()), 0u);
    }
}

TEST_P(OutputFileTest, LivingWritersFilesAreNotTakenForLeftovers) {
    OutputFile alive;
    ASSERT_TRUE(alive.create(dir_ + "/busy.wav"));
    ASSERT_TRUE(alive.write("x", 1));
    // A leftover name without a lock holder, and one that only looks similar.
    writeFile(dir_ + "/.gone.wav.tallory~AbCd1234", "stale");
    writeFile(dir_ + "/.gone.wav.tallory~short", "not ours");
    writeFile(dir_ + "/gone.wav.tallory~AbCd1234", "not hidden");
    EXPECT_EQ(removeStaleTemporaries(dir_), 1);
    std::set<std::string> left = listFolder(dir_);
    EXPECT_EQ(left.count(".gone.wav.tallory~AbCd1234"), 0u);
    EXPECT_EQ(left.count(".gone.wav.tallory~short"), 1u);
    EXPECT_EQ(left.count("gone.wav.tallory~AbCd1234"), 1u);
    ASSERT_TRUE(alive.commit(ExistingKind::keep));
    EXPECT_EQ(readFile(dir_ + "/busy.wav"), "x");
}

TEST_P(OutputFileTest, LongNamesStillGetAHiddenName) {
    const std::string path = dir_ + "/" + std::string(250, 'n') + ".wav";
    OutputFile out;
    ASSERT_TRUE(out.create(path)) << path.size();
    ASSERT_TRUE(out.write("long", 4));
    ASSERT_TRUE(out.commit(ExistingKind::replace));
    EXPECT_EQ(readFile(path), "long");
    EXPECT_EQ(listFolder(dir_).size(), 1u);
}

// A real full file system where the test may mount one; else ENOSPC injected at a write.
TEST_P(OutputFileTest, FullFileSystemLeavesNothing) {
    const std::string mnt = dir_ + "/small";
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    const bool mounted = ::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") == 0;
    if (!mounted) testing::failNextStep(FileStepKind::write, ENOSPC);
    {
        OutputFile out;
        ASSERT_TRUE(out.create(mnt + "/big.wav"));
        std::FILE* f = out.stream();
        ASSERT_NE(f, nullptr);
        std::string block(32768, 'b');
        for (int i = 0; i < 8; ++i) std::fwrite(block.data(), 1, block.size(), f);
        FileStatus s = out.commit(ExistingKind::keep);
        EXPECT_EQ(s.error, ENOSPC) << s.message;
    }
    EXPECT_TRUE(listFolder(mnt).empty());
    if (mounted) ::umount(mnt.c_str());
}

INSTANTIATE_TEST_SUITE_P(Ways, OutputFileTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Hidden" : "Unnamed"; });

}  // namespace
}  // namespace tallory::platform
