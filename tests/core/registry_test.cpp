// The format registry and factory: lookups, identifiers and the record layout
// that front ends depend on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/format_registry.h"
#include "core/object_factory.h"
#include "tallory/tallory.h"

namespace {

std::vector<std::string> extensionsOf(const FormatInfo& info) {
    std::vector<std::string> out;
    for (const char* e = info.extensions; *e != '\0'; e += std::strlen(e) + 1) out.emplace_back(e);
    return out;
}

TEST(FormatRegistry, RowsAsPublished) {
    struct Row {
        const char* name;
        std::vector<std::string> exts;
        uint32_t descriptionId;
        const char* description;
        int32_t kind;
        const CLSID* source;
        const CLSID* target;
    };
    const Row rows[] = {
        {"MP3", {".mp3", ".mpg"}, 8, "MP3 Audio Files (.mp3)", 1, &CLSID_Mp3WmaSource, &CLSID_Mp3Target},
        {"Wave", {".wav"}, 11, "Wave Audio Files (.wav)", 0, &CLSID_WavSource, &CLSID_WavTarget},
        {"Windows Media", {".wma", ".asf"}, 12, "Windows Media Audio Files (.wma)", 3, &CLSID_Mp3WmaSource, &CLSID_WmaTarget},
        {"AIFF", {".aif", ".aiff", ".iff", ".aifc"}, 13, "Audio Interchange Files (.aif)", 4, &CLSID_AiffSource, &CLSID_AiffTarget},
        {"Track", {".cda"}, 15, "CD Audio Tracks (.cda)", 4, &CLSID_CDTrackSource, nullptr},
        {"TwinVQ", {".vqf"}, 14, "TwinVQ Files (.vqf)", 4, &CLSID_TwinVQSource, nullptr},
        {"Ogg Vorbis", {".ogg"}, 28, "Vorbis OGG Files (.ogg)", 4, &CLSID_OggSource, &CLSID_OggTarget},
        {"FLAC", {".flac"}, 29, "FLAC Audio Files (.flac)", 4, &CLSID_FlacSource, &CLSID_FlacTarget},
        {"Opus", {".opus"}, 30, "Opus Audio Files (.opus)", 4, &CLSID_OpusSource, &CLSID_OpusTarget},
    };
    ASSERT_EQ(ConvGetFormatCount(), 9u);
    for (uint32_t i = 0; i < 9; ++i) {
        FormatInfo info;
        std::memset(&info, 0xAA, sizeof info);
        ASSERT_EQ(ConvGetFormatAt(&info, i), S_OK);
        EXPECT_STREQ(info.name, rows[i].name);
        EXPECT_EQ(extensionsOf(info), rows[i].exts);
        EXPECT_EQ(info.descriptionId, rows[i].descriptionId);
        EXPECT_STREQ(info.description, rows[i].description);
        EXPECT_EQ(info.kind, rows[i].kind);
        ASSERT_NE(info.sourceClass, nullptr);
        EXPECT_EQ(*info.sourceClass, *rows[i].source);
        if (rows[i].target == nullptr) {
            EXPECT_EQ(info.targetClass, nullptr);
        } else {
            ASSERT_NE(info.targetClass, nullptr);
            EXPECT_EQ(*info.targetClass, *rows[i].target);
        }
        EXPECT_EQ(ConvGetFormatPos(&info), i);
    }
}

TEST(FormatRegistry, IdentifiersHaveTheWindowsByteLayout) {
    // {D171DBC4-0A6D-11D4-9250-008048EF14D8} stored as the Windows GUID record.
    const unsigned char expected[16] = {0xC4, 0xDB, 0x71, 0xD1, 0x6D, 0x0A, 0xD4, 0x11,
                                        0x92, 0x50, 0x00, 0x80, 0x48, 0xEF, 0x14, 0xD8};
    EXPECT_EQ(std::memcmp(&CLSID_Mp3WmaSource, expected, 16), 0);
    EXPECT_EQ(IID_IConvSource.Data1, 0xD171DBC1u);
    EXPECT_EQ(IID_IConvTarget.Data1, 0xD171DBC0u);
    EXPECT_EQ(CLSID_OggTarget.Data4[7], 0x8C);
}

TEST(FormatRegistry, RecordLayoutsAreFrozen) {
    EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, nChannels), 2u);
    EXPECT_EQ(offsetof(WAVEFORMATEX, wBitsPerSample), 14u);
    EXPECT_EQ(sizeof(FormatInfo), 560u);
    EXPECT_EQ(offsetof(FormatInfo, name), 528u);
    EXPECT_EQ(offsetof(FormatInfo, sourceClass), 544u);
    EXPECT_EQ(offsetof(FormatInfo, targetClass), 552u);
    EXPECT_EQ(sizeof(GUID), 16u);
}

TEST(FormatRegistry, FormatOfPath) {
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatOf(&info, "/music/Song.MP3"), S_OK);
    EXPECT_STREQ(info.name, "MP3");
    ASSERT_EQ(ConvGetFormatOf(&info, "/music/v1.2 live/clip.mpg"), S_OK);
    EXPECT_STREQ(info.name, "MP3");
    ASSERT_EQ(ConvGetFormatOf(&info, "/x/old.iff"), S_OK);
    EXPECT_STREQ(info.name, "AIFF");
    ASSERT_EQ(ConvGetFormatOf(&info, "track.aiff"), S_OK);
    EXPECT_STREQ(info.name, "AIFF");
    ASSERT_EQ(ConvGetFormatOf(&info, "/dev/sr0/Track01.cda"), S_OK);
    EXPECT_STREQ(info.name, "Track");

    EXPECT_EQ(ConvGetFormatOf(&info, "README"), E_FAIL);
    EXPECT_EQ(ConvGetFormatOf(&info, "/my.music/README"), E_FAIL);  // the dot is in a folder name
    EXPECT_EQ(ConvGetFormatOf(&info, "song.mp3 copy"), E_FAIL);     // a space after the dot
    EXPECT_EQ(ConvGetFormatOf(&info, "song.mp3x"), E_FAIL);
    EXPECT_EQ(ConvGetFormatOf(&info, "song."), E_FAIL);
    EXPECT_EQ(ConvGetFormatOf(&info, nullptr), E_FAIL);
    EXPECT_EQ(ConvGetFormatOf(nullptr, "a.mp3"), E_INVALIDARG);
}

TEST(FormatRegistry, ExtensionRule) {
    using tallory::core::pathExtension;
    EXPECT_EQ(pathExtension("a.b.c"), ".c");
    EXPECT_EQ(pathExtension("dir.x\\file"), "");
    EXPECT_EQ(pathExtension("my song.ogg"), ".ogg");
    EXPECT_EQ(pathExtension(""), "");
}

TEST(FormatRegistry, NamesAndClassLookups) {
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatByName(&info, "windows media"), S_OK);
    EXPECT_EQ(ConvGetFormatPos(&info), 2u);
    EXPECT_EQ(ConvGetFormatByName(&info, "Windows"), E_FAIL);
    EXPECT_EQ(ConvGetFormatByName(nullptr, "MP3"), E_INVALIDARG);
    EXPECT_EQ(ConvGetFormatAt(&info, 9), E_INVALIDARG);
    EXPECT_EQ(ConvGetFormatAt(nullptr, 0), E_INVALIDARG);

    EXPECT_EQ(ConvGetFormatPosCLSID(&CLSID_Mp3WmaSource), TALLORY_FORMAT_NOT_FOUND);
    EXPECT_EQ(ConvGetFormatPosCLSID(&CLSID_OggTarget), 6u);
    EXPECT_EQ(ConvGetFormatPosCLSID(&CLSID_WavTarget), 1u);
    EXPECT_EQ(ConvGetFormatPosCLSID(&CLSID_FlacTarget), 7u);
    EXPECT_EQ(ConvGetFormatPosCLSID(&CLSID_OpusTarget), 8u);
    ASSERT_EQ(ConvGetFormatOf(&info, "/music/Song.FLAC"), S_OK);
    EXPECT_STREQ(info.name, "FLAC");
    ASSERT_EQ(ConvGetFormatOf(&info, "a.opus"), S_OK);
    EXPECT_STREQ(info.name, "Opus");
    EXPECT_EQ(ConvGetFormatPosCLSID(nullptr), TALLORY_FORMAT_NOT_FOUND);

    // A name field without a terminator is read only within its 16 bytes.
    FormatInfo odd{};
    std::memset(odd.name, 'A', sizeof odd.name);
    EXPECT_EQ(ConvGetFormatPos(&odd), TALLORY_FORMAT_NOT_FOUND);
    EXPECT_EQ(ConvGetFormatPos(nullptr), TALLORY_FORMAT_NOT_FOUND);
}

TEST(ObjectFactory, KnowsElevenClassesAndRefusesOthers) {
    const CLSID* all[] = {&CLSID_Mp3WmaSource, &CLSID_CDTrackSource, &CLSID_WavSource, &CLSID_AiffSource,
                          &CLSID_TwinVQSource, &CLSID_OggSource,     &CLSID_AiffTarget, &CLSID_OggTarget,
                          &CLSID_WavTarget,    &CLSID_Mp3Target,     &CLSID_WmaTarget};
    for (const CLSID* c : all) EXPECT_NE(tallory::core::findClass(*c), nullptr);
    EXPECT_EQ(tallory::core::findClass(IID_IConvSource), nullptr);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(ConvCreateObject(IID_IConvTarget, &IID_IConvTarget, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    // Every class that is built answers its own interface and refuses the other one.
    for (const CLSID* c : all) {
        const auto* d = tallory::core::findClass(*c);
        if (d->create == nullptr) {
            EXPECT_EQ(ConvCreateObject(*c, &IID_IUnknown, &object), E_NOINTERFACE);
            continue;
        }
        bool isTarget = ConvGetFormatPosCLSID(c) != TALLORY_FORMAT_NOT_FOUND;
        const IID& own = isTarget ? IID_IConvTarget : IID_IConvSource;
        const IID& other = isTarget ? IID_IConvSource : IID_IConvTarget;
        EXPECT_EQ(ConvCreateObject(*c, &other, &object), E_NOINTERFACE);
        EXPECT_EQ(object, nullptr);
        ASSERT_EQ(ConvCreateObject(*c, &own, &object), S_OK);
        EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 0u);
    }
}

TEST(ObjectFactory, DefaultSettingsExports) {
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatByName(&info, "Track"), S_OK);
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), S_FALSE);
    char text[64];
    EXPECT_EQ(ConvDefOutputSettingsString(text, sizeof text, &info), E_FAIL);
    ASSERT_EQ(ConvGetFormatByName(&info, "AIFF"), S_OK);
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), S_FALSE);
    EXPECT_EQ(ConvDefOutputSettingsString(text, sizeof text, &info), E_FAIL);
    EXPECT_EQ(ConvDefOutputSettings(nullptr, nullptr), S_FALSE);
    EXPECT_EQ(WMASourceGetInfo(nullptr, text, text), E_INVALIDARG);
}

}  // namespace
