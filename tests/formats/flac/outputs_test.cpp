// FLAC and Opus outputs are whole or absent: nothing under the final name
// while encoding, nothing at all after a failed write, a failed naming or an
// abandoned conversion, and an existing file survives a failed overwrite.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>

#include "../audio_test_util.h"
#include "core/target_base.h"
#include "platform/files/output_file.h"
#include "tallory/tallory.h"

using namespace testutil;
using tallory::Ref;
using tallory::platform::FileStepKind;

namespace {

std::string entries(const std::string& dir) {
    std::string out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") out += name + " ";
        }
        closedir(d);
    }
    return out;
}

struct Format {
    CLSID target;
    const char* extension;
};

const Format kFormats[] = {{CLSID_FlacTarget, ".flac"}, {CLSID_OpusTarget, ".opus"}};

}  // namespace

TEST(WholeOrAbsent, FlacAndOpusOutputsAppearOnlyWhenComplete) {
    const WAVEFORMATEX f = pcmFormat(44100, 2, 16);
    const Bytes pcm = tone(f, 44100 * 3);
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.extension);
        const std::string dir = scratchDir() + "/" + (format.extension + 1);
        ASSERT_TRUE(tallory::platform::createDirectories(dir));
        const std::string path = dir + "/out" + format.extension;
        RecordingProgress progress;

        // While it is written the name is free; Close names it.
        {
            Ref<IConvTarget> t(create<IConvTarget>(format.target, IID_IConvTarget));
            t->SetProgress(&progress);
            ASSERT_TRUE(t->SetPath(path.c_str()) && t->SetFormat(&f) && t->Open());
            ASSERT_TRUE(t->Write(static_cast<uint32_t>(pcm.size() / 2), pcm.data()));
            EXPECT_EQ(entries(dir), "");
            ASSERT_TRUE(t->Write(static_cast<uint32_t>(pcm.size() - pcm.size() / 2), pcm.data() + pcm.size() / 2));
            ASSERT_TRUE(t->Close());
            EXPECT_EQ(entries(dir), std::string("out") + format.extension + " ");
            EXPECT_NE(probe(path, "duration_ts"), "");
        }
        const Bytes whole = readFile(path);

        // Abandoned half way (a failed or cancelled conversion): nothing is named, the old file stays.
        progress.overwriteAnswer = 1;
        {
            Ref<IConvTarget> t(create<IConvTarget>(format.target, IID_IConvTarget));
            t->SetProgress(&progress);
            ASSERT_TRUE(t->SetPath(path.c_str()) && t->SetFormat(&f) && t->Open());
            ASSERT_TRUE(t->Write(static_cast<uint32_t>(pcm.size() / 3), pcm.data()));
            dynamic_cast<tallory::core::TargetBase*>(t.get())->abandonOutput();
            t->Close();
            EXPECT_EQ(readFile(path), whole);
            EXPECT_EQ(entries(dir), std::string("out") + format.extension + " ");
        }

        // A full disk while writing, or a failed naming: an error, and nothing left of the new file.
        for (FileStepKind step : {FileStepKind::write, FileStepKind::link}) {
            const std::string fresh = dir + "/fresh" + format.extension;
            RecordingProgress failing;
            Ref<IConvTarget> t(create<IConvTarget>(format.target, IID_IConvTarget));
            t->SetProgress(&failing);
            ASSERT_TRUE(t->SetPath(fresh.c_str()) && t->SetFormat(&f) && t->Open());
            tallory::platform::testing::failNextStep(step, ENOSPC);
            bool ok = t->Write(static_cast<uint32_t>(pcm.size()), pcm.data());
            ok = t->Close() && ok;
            tallory::platform::testing::failNextStep(FileStepKind::none, 0);
            EXPECT_FALSE(ok);
            EXPECT_EQ(entries(dir), std::string("out") + format.extension + " ");
            bool named = false;
            for (const auto& m : failing.messages) named = named || m.text.find("No space left on device") != std::string::npos;
            std::string all;
            for (const auto& m : failing.messages) all += m.text + "|";
            EXPECT_TRUE(named) << static_cast<int>(step) << ": " << all;
        }
    }
}

// A conversion that fails half way, through the engine, keeps the old output.
TEST(WholeOrAbsent, AFailedConversionLeavesTheOldOutput) {
    const std::string dir = scratchDir();
    run("sox -n -r 44100 -c 2 -b 16 '" + dir + "/in.wav' synth 3 sine 440");
    for (const Format& format : kFormats) {
        SCOPED_TRACE(format.extension);
        const std::string path = dir + "/out" + format.extension;
        writeFile(path, Bytes{'o', 'l', 'd'});
        Ref<IConvSource> s(create<IConvSource>(CLSID_WavSource, IID_IConvSource));
        Ref<IConvTarget> t(create<IConvTarget>(format.target, IID_IConvTarget));
        s->SetPath((dir + "/in.wav").c_str());
        t->SetPath(path.c_str());
        // Cancelled from the first progress call on: the engine abandons the output.
        struct Cancelling : RecordingProgress {
            void Advance(uint32_t) override { cancelled = true; }
        } cancelling;
        cancelling.overwriteAnswer = 1;
        EXPECT_NE(AudioConvert(s.get(), t.get(), &cancelling, 0, 0, -1, -1), S_OK);
        EXPECT_EQ(readFile(path), (Bytes{'o', 'l', 'd'}));
    }
}
