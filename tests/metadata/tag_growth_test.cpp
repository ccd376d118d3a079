// Tag reading grows linearly with the tag: one large ID3v2 frame, and an ASF
// header of many attributes, each read at two sizes. The ratio of the times
// (processor time, the best of a few runs) is pinned, not a wall-clock limit,
// so that a loaded machine does not fail the test while a quadratic step does.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metadata/metadata_tag.h"
#include "platform/media/metadata_editor.h"
#include "tag_test_support.h"

namespace {

using namespace tagtest;
using tallory::platform::media::AttributeType;
using tallory::platform::media::MetadataEditor;

double cpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The best of three runs of reading the file's tag; `frames` receives the frame count.
double timeRead(const std::string& path, int* frames) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        IMetadataFile* file = nullptr;
        EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &file), S_OK);
        const double start = cpuSeconds();
        IMetadataTag* tag = nullptr;
        EXPECT_EQ(file->ReadTag(&tag), S_OK);
        void* title = nullptr;
        if (tag->GetFrame(METADATA_FRAME_TIT2, IID_IMetadataFrame, &title) == S_OK) {
            std::vector<char16_t> text(64);
            static_cast<IMetadataFrame*>(title)->GetDisplayText(text.data(), 63);
            static_cast<IMetadataFrame*>(title)->Release();
        }
        *frames = tag->GetFrameCount();
        tag->Release();
        best = std::min(best, cpuSeconds() - start);
        file->Release();
    }
    return best;
}

std::vector<uint8_t> titleTag(size_t bytes) {
    std::vector<uint8_t> frame = {'T', 'I', 'T', '2'};
    const uint32_t size = static_cast<uint32_t>(bytes + 1);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(size >> shift));
    frame.insert(frame.end(), {0, 0, 0});
    frame.resize(frame.size() + bytes, 'x');
    std::vector<uint8_t> tag = {'I', 'D', '3', 3, 0, 0};
    for (int shift = 21; shift >= 0; shift -= 7) tag.push_back(static_cast<uint8_t>((frame.size() >> shift) & 0x7F));
    tag.insert(tag.end(), frame.begin(), frame.end());
    return tag;
}

TEST(TagGrowth, LargeFrameReadsInLinearTime) {
    const std::string dir = scratchDir();
    const std::vector<uint8_t> audio = readBytes(makeTone(dir));
    double seconds[2] = {};
    const size_t sizes[2] = {1u << 20, 5u << 20};
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> bytes = titleTag(sizes[i]);
        bytes.insert(bytes.end(), audio.begin(), audio.end());
        const std::string path = dir + "/big" + std::to_string(i) + ".mp3";
        writeBytes(path, bytes);
        int frames = 0;
        seconds[i] = timeRead(path, &frames);
        EXPECT_EQ(frames, 1);
    }
    // Five times the bytes: linear is 5, quadratic 25.
    EXPECT_LT(seconds[1], std::max(seconds[0], 0.005) * 10) << seconds[0] << " s, then " << seconds[1] << " s";
    run("rm -rf '" + dir + "'");
}

TEST(TagGrowth, ManyAttributesReadInLinearTime) {
    const std::string dir = scratchDir();
    const std::string wav = dir + "/tone.wav";
    run("ffmpeg -nostdin -y -loglevel error -f lavfi -i sine=duration=0.5 '" + wav + "'");
    double seconds[2] = {};
    const int counts[2] = {12000, 60000};
    for (int i = 0; i < 2; ++i) {
        const std::string wma = dir + "/many" + std::to_string(i) + ".wma";
        run("ffmpeg -nostdin -y -loglevel error -i '" + wav + "' -map_metadata -1 -c:a wmav2 -b:a 64k '" + wma + "'");
        MetadataEditor editor;
        ASSERT_TRUE(editor.Open(wma));
        for (int n = 0; n < counts[i]; ++n) {
            const std::u16string name = u16("Key " + std::to_string(n));
            ASSERT_TRUE(editor.AddAttribute(0, name, AttributeType::String,
                                            tallory::platform::media::stringValue(u16("v" + std::to_string(n)))));
        }
        ASSERT_TRUE(editor.Flush());
        int frames = 0;
        seconds[i] = timeRead(wma, &frames);
        // Each becomes a user text of its name.
        EXPECT_GE(frames, counts[i]);
    }
    // Five times the attributes: linear is 5, quadratic 25.
    EXPECT_LT(seconds[1], std::max(seconds[0], 0.005) * 10) << seconds[0] << " s, then " << seconds[1] << " s";
    run("rm -rf '" + dir + "'");
}

}  // namespace
