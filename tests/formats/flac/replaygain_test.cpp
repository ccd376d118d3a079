// Loudness measured during the conversion pass and written as ReplayGain 2.0
// (and R128) tags, checked against loudgain on the same audio.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../audio_test_util.h"
#include "tallory/tallory.h"

using namespace testutil;

namespace {

struct Seen {
    std::vector<TalloryLoudness> values;
    std::vector<std::string> paths;
};

void collect(void* context, const char* path, const TalloryLoudness* l) {
    auto* seen = static_cast<Seen*>(context);
    seen->values.push_back(*l);
    seen->paths.emplace_back(path);
}

// Music-like input: pink noise with a slow tremolo and a tone, at `gainDb`.
void makeMusic(const std::string& wav, double seconds, double gainDb, int rate = 44100) {
    char cmd[512];
    std::snprintf(cmd, sizeof cmd,
                  "sox -n -r %d -c 2 -b 16 '%s' synth %.1f pinknoise synth %.1f sine mix 220 tremolo 2 40 gain %.1f",
                  rate, wav.c_str(), seconds, seconds, gainDb);
    run(cmd);
}

double tagValue(const std::string& path, const std::string& field) {
    std::string out = run("metaflac --show-tag=" + field + " '" + path + "'");
    size_t eq = out.find('=');
    return eq == std::string::npos ? NAN : std::stod(out.substr(eq + 1));
}

IConvSource* sourceFor(const std::string& path) {
    FormatInfo info;
    if (FAILED(ConvGetFormatOf(&info, path.c_str()))) return nullptr;
    IConvSource* s = create<IConvSource>(*info.sourceClass, IID_IConvSource);
    s->SetPath(path.c_str());
    return s;
}

bool convert(const std::string& in, const CLSID& targetClass, const std::string& out, RecordingProgress& progress) {
    IConvSource* s = sourceFor(in);
    IConvTarget* t = create<IConvTarget>(targetClass, IID_IConvTarget);
    t->SetPath(out.c_str());
    const HRESULT hr = AudioConvert(s, t, &progress, 0, 0, -1, -1);
    s->Release();
    t->Release();
    return hr == S_OK;
}

}  // namespace

TEST(ReplayGain, TrackValuesAgreeWithLoudgain) {
    const std::string dir = scratchDir();
    makeMusic(dir + "/a.wav", 12, -11);
    Seen seen;
    ASSERT_EQ(ConvSetLoudnessAnalysis(1, collect, &seen), S_OK);
    EXPECT_EQ(ConvGetLoudnessAnalysis(), 1);
    RecordingProgress progress;
    ASSERT_TRUE(convert(dir + "/a.wav", CLSID_FlacTarget, dir + "/a.flac", progress));
    ASSERT_TRUE(convert(dir + "/a.wav", CLSID_OpusTarget, dir + "/a.opus", progress));
    // WAV holds no tags: said once, however many files.
    ASSERT_TRUE(convert(dir + "/a.wav", CLSID_WavTarget, dir + "/b.wav", progress));
    ASSERT_TRUE(convert(dir + "/a.wav", CLSID_WavTarget, dir + "/c.wav", progress));
    ConvSetLoudnessAnalysis(0, nullptr, nullptr);
    int notes = 0;
    for (const auto& m : progress.messages) notes += m.text.find("cannot hold loudness tags") != std::string::npos;
    EXPECT_EQ(notes, 1);
    ASSERT_EQ(seen.values.size(), 4u);
    EXPECT_EQ(seen.paths[0], dir + "/a.flac");
    EXPECT_EQ(seen.values[0].isAlbum, 0);

    run("cp '" + dir + "/a.flac' '" + dir + "/ref.flac' && metaflac --remove-all-tags '" + dir +
        "/ref.flac' && loudgain -q -s e '" + dir + "/ref.flac' >/dev/null 2>&1");
    const double ours = tagValue(dir + "/a.flac", "REPLAYGAIN_TRACK_GAIN");
    const double theirs = tagValue(dir + "/ref.flac", "REPLAYGAIN_TRACK_GAIN");
    ASSERT_FALSE(std::isnan(theirs)) << "loudgain wrote no tag";
    EXPECT_NEAR(ours, theirs, 0.1);
    EXPECT_NEAR(seen.values[0].replayGainDb, theirs, 0.1);
    EXPECT_NEAR(tagValue(dir + "/a.flac", "REPLAYGAIN_TRACK_PEAK"), tagValue(dir + "/ref.flac", "REPLAYGAIN_TRACK_PEAK"),
                0.01);

    // Opus: R128_TRACK_GAIN, Q7.8 to -23 LUFS, and no REPLAYGAIN fields (RFC 7845 5.2.1).
    const std::string tags = run("/usr/bin/python3 -c \"import sys; from mutagen.oggopus import OggOpus; "
                                 "t=OggOpus(sys.argv[1]).tags; print(t.get('R128_TRACK_GAIN', ['?'])[0], "
                                 "'REPLAYGAIN_TRACK_GAIN' in t)\" '" + dir + "/a.opus'");
    int q78 = 0;
    char hasReplayGain[8] = "";
    ASSERT_EQ(std::sscanf(tags.c_str(), "%d %7s", &q78, hasReplayGain), 2) << tags;
    EXPECT_NEAR(q78 / 256.0, theirs - 5.0, 0.1);
    EXPECT_STREQ(hasReplayGain, "False");
}

TEST(ReplayGain, AlbumValuesForFilesOfOneAlbumInABatch) {
    const std::string dir = scratchDir();
    makeMusic(dir + "/1.wav", 8, -6);
    makeMusic(dir + "/2.wav", 8, -16);
    makeMusic(dir + "/3.wav", 6, -10);
    for (int i = 1; i <= 3; ++i) {
        const std::string n = std::to_string(i);
        const std::string album = i < 3 ? "--tag=ALBUM=Shared --tag=ALBUMARTIST=Band" : "--tag=ALBUM=Single";
        run("flac -s -f " + album + " --tag=TITLE=T" + n + " -o '" + dir + "/s" + n + ".flac' '" + dir + "/" + n + ".wav'");
    }
    std::vector<IConvSource*> sources;
    std::vector<IConvTarget*> targets;
    std::vector<BatchItem> items;
    for (int i = 1; i <= 3; ++i) {
        sources.push_back(sourceFor(dir + "/s" + std::to_string(i) + ".flac"));
        targets.push_back(create<IConvTarget>(CLSID_FlacTarget, IID_IConvTarget));
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s/out/<sourcename>", dir.c_str());
        item.startMs = -1;
        item.endMs = -1;
        item.source = sources.back();
        item.target = targets.back();
        items.push_back(item);
    }
    items.push_back(BatchItem{});
    Seen seen;
    ConvSetLoudnessAnalysis(1, collect, &seen);
    BatchOptions options{sizeof(BatchOptions), 2, BATCH_OVERWRITE_ALWAYS, 1};
    BatchResult result{};
    const HRESULT hr = BatchConvertEx(items.data(), nullptr, 0, 0, &options, &result);
    ConvSetLoudnessAnalysis(0, nullptr, nullptr);
    for (auto* s : sources) s->Release();
    for (auto* t : targets) t->Release();
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(result.converted, 3);

    int albums = 0;
    for (const auto& v : seen.values) albums += v.isAlbum;
    EXPECT_EQ(albums, 2);  // "Shared" and "Single"

    run("mkdir -p '" + dir + "/ref' && cp '" + dir + "/out/s1.flac' '" + dir + "/out/s2.flac' '" + dir +
        "/ref/' && metaflac --remove-all-tags '" + dir + "/ref/s1.flac' '" + dir + "/ref/s2.flac' && loudgain -q -a -s e '" +
        dir + "/ref/s1.flac' '" + dir + "/ref/s2.flac' >/dev/null 2>&1");
    const double album = tagValue(dir + "/ref/s1.flac", "REPLAYGAIN_ALBUM_GAIN");
    ASSERT_FALSE(std::isnan(album)) << "loudgain wrote no album tag";
    for (const char* name : {"s1", "s2"}) {
        const std::string out = dir + "/out/" + name + ".flac";
        EXPECT_NEAR(tagValue(out, "REPLAYGAIN_ALBUM_GAIN"), album, 0.1) << name;
        EXPECT_NEAR(tagValue(out, "REPLAYGAIN_TRACK_GAIN"), tagValue(dir + "/ref/" + name + ".flac", "REPLAYGAIN_TRACK_GAIN"), 0.1);
        EXPECT_EQ(run("metaflac --show-tag=TITLE '" + out + "'").substr(0, 6), std::string("TITLE=") ) << "tags kept";
    }
    // The single file's album is itself.
    const std::string single = dir + "/out/s3.flac";
    EXPECT_NEAR(tagValue(single, "REPLAYGAIN_ALBUM_GAIN"), tagValue(single, "REPLAYGAIN_TRACK_GAIN"), 0.01);
    int status = -1;
    run("flac -s -t '" + dir + "/out/s1.flac' 2>&1", &status);
    EXPECT_EQ(status, 0);
}
