// The export boundary: an exception thrown by a caller's source, target or
// callback, or inside the library, ends the call with its failure result and a
// report, never with std::terminate; objects are closed and detached as after
// any failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "core/export_guard.h"
#include "memory_objects.h"
#include "platform/files/file_system.h"
#include "recording_progress.h"
#include "tallory/tallory.h"

namespace {

namespace fs = tallory::platform;

class Guarded : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::string(std::getenv("HOME")) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::createDirectories(dir_);
        PutProfileInt("Settings", "BPMAnalysis", 0);
        PutProfileInt("Settings", "HighPriority", 0);
        source_ = new MemorySource;
        source_->AddRef();
        target_ = new MemoryTarget;
        target_->AddRef();
        source_->SetPath((dir_ + "/in.wav").c_str());
        target_->SetPath((dir_ + "/out.wav").c_str());
        source_->pcm = clickTrack(120, 1);
    }
    void TearDown() override {
        source_->Release();
        target_->Release();
    }
    // The conversion failed with a report naming the escaped exception, and
    // nothing stayed open or attached.
    void expectCleanFailure(const RecordingProgress& p, HRESULT hr, const std::string& what) {
        EXPECT_EQ(hr, E_FAIL);
        bool reported = false;
        for (const RecordedMessage& m : p.messages) {
            if (m.kinds == "e" && m.text == "Internal error in AudioConvert: " + what + "\n") reported = true;
        }
        EXPECT_TRUE(reported) << "no report of \"" << what << "\"; last: " << p.lastText();
        EXPECT_FALSE(source_->isOpen());
        EXPECT_EQ(target_->source(), nullptr);
    }
    std::string dir_;
    MemorySource* source_;
    MemoryTarget* target_;
};

TEST_F(Guarded, ExceptionsFromTheSourceOrTargetFailTheConversion) {
    {
        RecordingProgress p;
        source_->throwInOpen = true;
        expectCleanFailure(p, AudioConvert(source_, target_, &p, 0, 0, -1, -1), "source open threw");
        EXPECT_FALSE(target_->opened) << "the target is not opened after the source failed";
        source_->throwInOpen = false;
    }
    {
        RecordingProgress p;
        source_->throwInRun = true;
        expectCleanFailure(p, AudioConvert(source_, target_, &p, 0, 0, -1, -1), "source run threw");
        EXPECT_TRUE(target_->closed) << "an opened target is closed after a throwing source";
        source_->throwInRun = false;
    }
    {
        RecordingProgress p;
        target_->closed = false;
        target_->throwOnBlock = 2;
        expectCleanFailure(p, AudioConvert(source_, target_, &p, 0, 0, -1, -1), "out of memory");
        EXPECT_TRUE(target_->closed);
        EXPECT_EQ(target_->blocks.size(), 2u);
        target_->throwOnBlock = -1;
    }
    {
        // The normalizing passes run through the same boundary.
        RecordingProgress p;
        PutProfileString("Settings", "TempPath", dir_.c_str());
        target_->blocks.clear();
        target_->throwOnBlock = 0;  // the second pass writes the short input in one block
        expectCleanFailure(p, AudioConvert(source_, target_, &p, 0, 1, -1, -1), "out of memory");
        target_->throwOnBlock = -1;
    }
    {
        // A target that throws while closing: all the data went in, still a failure.
        RecordingProgress p;
        target_->throwInClose = true;
        expectCleanFailure(p, AudioConvert(source_, target_, &p, 0, 0, -1, -1), "target close threw");
        target_->throwInClose = false;
    }
    // After all that the same objects convert normally.
    RecordingProgress p;
    target_->data.clear();
    EXPECT_EQ(AudioConvert(source_, target_, &p, 0, 0, -1, -1), S_OK) << p.lastText();
    EXPECT_EQ(target_->data, source_->pcm);
}

// A progress callback that throws from its first report is survived too.
class ThrowingProgress : public RecordingProgress {
public:
    void SetAction(const char*) override { throw std::runtime_error("progress threw"); }
};

TEST_F(Guarded, AThrowingCallbackFailsTheConversionQuietly) {
    ThrowingProgress p;
    EXPECT_EQ(AudioConvert(source_, target_, &p, 0, 0, -1, -1), E_FAIL);
    EXPECT_EQ(p.lastText(), "Internal error in AudioConvert: progress threw\n");
}

// A source whose path operation throws, met by the naming scheme.
class ThrowingPathSource : public MemorySource {
public:
    bool GetPath(char*, int) override { throw std::runtime_error("path threw"); }
    bool GetFileName(char*, int) override { throw std::runtime_error("path threw"); }
    bool GetDirectory(char*, int) override { throw std::runtime_error("path threw"); }
};

TEST(ExportGuard, NamingWithAThrowingSourceFails) {
    auto* source = new ThrowingPathSource;
    source->AddRef();
    source->SetPath("/music/a.wav");
    char buffer[TALLORY_MAX_PATH] = "untouched";
    EXPECT_EQ(SuggestOutputFile("<sourcedir>/<filename>", 0, source, buffer, sizeof buffer), 0);
    source->Release();
}

TEST(ExportGuard, ResultsAndReports) {
    using tallory::core::guardExport;
    using tallory::core::guardExportVoid;
    RecordingProgress p;
    EXPECT_EQ(guardExport("F", -7, [] { return 3; }, &p), 3);
    EXPECT_TRUE(p.messages.empty());
    EXPECT_EQ(guardExport("F", -7, []() -> int { throw std::out_of_range("index 9"); }, &p), -7);
    EXPECT_EQ(guardExport("G", E_FAIL, []() -> HRESULT { throw std::bad_alloc(); }, &p), E_FAIL);
    EXPECT_EQ(guardExport("H", false, []() -> bool { throw 42; }, &p), false);
    bool ran = false;
    guardExportVoid("V", [&] {
        ran = true;
        throw std::runtime_error("void body");
    }, &p);
    EXPECT_TRUE(ran);
    ASSERT_EQ(p.messages.size(), 4u);
    EXPECT_EQ(p.messages[0].text, "Internal error in F: index 9\n");
    EXPECT_EQ(p.messages[1].text, "Internal error in G: out of memory\n");
    EXPECT_EQ(p.messages[2].text, "Internal error in H: unknown exception\n");
    EXPECT_EQ(p.messages[3].text, "Internal error in V: void body\n");
    for (const RecordedMessage& m : p.messages) EXPECT_EQ(m.kinds, "e");
    // Without a callback the report goes to standard error and the result stays.
    EXPECT_EQ(guardExport("F", 5, []() -> int { throw std::runtime_error("x"); }), 5);
}

// Every export is declared noexcept: an exception can never unwind into a C caller.
TEST(ExportGuard, ExportsAreNoexcept) {
    static_assert(noexcept(AudioConvert(nullptr, nullptr, nullptr, 0, 0, 0, 0)));
    static_assert(noexcept(BatchConvertEx(nullptr, nullptr, 0, 0, nullptr, nullptr)));
    static_assert(noexcept(BatchConvert(nullptr, nullptr, 0, 0)));
    static_assert(noexcept(SuggestOutputFile(nullptr, 0, nullptr, nullptr, 0)));
    static_assert(noexcept(ConvCreateObject(CLSID{}, nullptr, nullptr)));
    static_assert(noexcept(ConvGetFormatOf(nullptr, nullptr)));
    static_assert(noexcept(MetadataCreateFromFile(nullptr, nullptr)));
    static_assert(noexcept(PlaylistCreateFromFile(nullptr, nullptr)));
    static_assert(noexcept(GetProfileStringA(nullptr, nullptr, nullptr)));
    static_assert(noexcept(PutProfileBinary(nullptr, nullptr, nullptr, 0)));
    static_assert(noexcept(CreateNormalizer(nullptr)));
    static_assert(noexcept(TalloryGetCodecFormat(0, 0, nullptr, nullptr, nullptr, 0)));
    static_assert(noexcept(AddToMediaLibrary(nullptr, nullptr)));
    static_assert(noexcept(TalloryRegisterUi(nullptr)));
    SUCCEED();
}

}  // namespace
