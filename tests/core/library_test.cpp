// Library load, the referrer code, the recorder link and the UI bridge.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/library.h"
#include "core/ui_bridge.h"
#include "platform/files/file_system.h"
#include "tallory/tallory.h"

namespace {

using namespace tallory::core;

std::string scratch() {
    std::string dir = std::string(std::getenv("HOME")) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tallory::platform::createDirectories(dir);
    return dir;
}

TEST(LibraryLoad, HomePageFlagWrittenOnce) {
    int added = 0;
    ASSERT_TRUE(GetProfileIntA("Settings", "HomePageLinkAdded", &added));
    EXPECT_EQ(added, 1);
}

TEST(LibraryLoad, ReferrerCodeIsSanitisedAndBounded) {
    std::string dir = scratch();
    std::ofstream(dir + "/Ref.txt") << "ab-12 c\xC3\xA9\n";
    EXPECT_EQ(readReferrerCode(dir + "/Ref.txt"), "abx12xcxxx");
    std::ofstream(dir + "/Long.txt") << std::string(100, 'q');
    EXPECT_EQ(readReferrerCode(dir + "/Long.txt"), std::string(80, 'q'));
    EXPECT_EQ(readReferrerCode(dir + "/missing.txt"), "");
}

TEST(LibraryLoad, AddRefererWithoutCodeKeepsTheAddress) {
    ASSERT_TRUE(referrerCode().empty());  // no Ref.txt beside the test program
    char buf[64];
    EXPECT_EQ(AddReferer("https://example.org/x", buf, sizeof buf), 21);
    EXPECT_STREQ(buf, "https://example.org/x");
    EXPECT_EQ(AddReferer("https://example.org/x", buf, 6), 21);
    EXPECT_STREQ(buf, "https");
    EXPECT_EQ(AddReferer(nullptr, buf, sizeof buf), -1);
}

struct CapturedBox {
    std::string text;
    uint32_t style;
};
std::vector<CapturedBox> boxes;
int boxAnswer = IDNO;

int captureBox(HWND, const char* text, const char*, uint32_t style) {
    boxes.push_back({text, style});
    return (style & 0xF) == MB_YESNO ? boxAnswer : IDOK;
}

TEST(Recorder, MissingRecorderAsksAndExplains) {
    std::string saved = std::getenv("PATH");
    std::string empty = scratch();
    setenv("PATH", empty.c_str(), 1);
    TalloryUiHooks hooks{};
    hooks.size = sizeof hooks;
    hooks.messageBox = captureBox;
    TalloryRegisterUi(&hooks);

    boxes.clear();
    boxAnswer = IDNO;
    EXPECT_FALSE(RunOrlandaRecorder(nullptr, "--burn x"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].style & 0xF, MB_YESNO);

    boxes.clear();
    boxAnswer = IDYES;
    EXPECT_FALSE(RunOrlandaRecorder(nullptr, ""));
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[1].text.find("cannot run on Linux"), std::string::npos);

    TalloryRegisterUi(nullptr);
    setenv("PATH", saved.c_str(), 1);
}

TEST(Recorder, StartsTheProgramWithItsParameters) {
    std::string dir = scratch();
    std::string log = dir + "/args.txt";
    std::string program = dir + "/" + kRecorderProgram;
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > '" << log << ".tmp'\nmv '" << log
               << ".tmp' '" << log << "'\n";
    }
    chmod(program.c_str(), 0755);
    std::string saved = std::getenv("PATH");
    setenv("PATH", (dir + ":" + saved).c_str(), 1);
    EXPECT_TRUE(RunOrlandaRecorder(nullptr, "-audio \"/music/My Album\" fast"));
    setenv("PATH", saved.c_str(), 1);
    for (int i = 0; i < 200 && !tallory::platform::pathExists(log); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(log);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "[-audio]\n[/music/My Album]\n[fast]\n");
}

TEST(UiBridge, ConsoleDefaultsAreSafe) {
    TalloryRegisterUi(nullptr);
    EXPECT_FALSE(ui::hasUi());
    EXPECT_EQ(ui::messageBox(nullptr, "question", "Tallory", MB_YESNO), IDNO);
    EXPECT_EQ(ui::messageBox(nullptr, "info", "Tallory", MB_OK), IDOK);
    EXPECT_EQ(ui::messageBox(nullptr, "choose", "Tallory", MB_OKCANCEL), IDCANCEL);
    EXPECT_FALSE(ui::showDialog(TALLORY_DIALOG_WAVE_SETTINGS, nullptr, nullptr));
    EXPECT_EQ(ui::createBatchProgress(), nullptr);
    ui::pumpMessages();
}

bool acceptDialog(int kind, HWND, void* context) {
    auto* c = static_cast<TalloryTargetDialogContext*>(context);
    return kind == TALLORY_DIALOG_WAVE_SETTINGS && c != nullptr;
}

TEST(UiBridge, ShorterHookRecordsAreAccepted) {
    // A module built against an older, shorter record registers only what it had.
    TalloryUiHooks hooks{};
    hooks.size = offsetof(TalloryUiHooks, showDialog) + sizeof(hooks.showDialog);
    hooks.showDialog = acceptDialog;
    hooks.createBatchProgress = reinterpret_cast<IConvBatchProgress* (*)()>(0x1);  // beyond size: ignored
    TalloryRegisterUi(&hooks);
    EXPECT_TRUE(ui::hasUi());
    TalloryTargetDialogContext ctx{};
    EXPECT_TRUE(ui::showDialog(TALLORY_DIALOG_WAVE_SETTINGS, nullptr, &ctx));
    EXPECT_EQ(ui::createBatchProgress(), nullptr);
    TalloryRegisterUi(nullptr);
}

}  // namespace
