// MP3 tag files on disk, checked against mutagen in both directions: what we
// write mutagen reads, what mutagen writes we read; tag types, stripping, hostile
// tags and failed writes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <zlib.h>

#include <csignal>
#include <string>
#include <vector>

#include "core/settings_store.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/tag_guard.h"
#include "tag_test_support.h"
#include "tallory/settings.h"

namespace {

using namespace tagtest;

// One line per field of every ID3v2 frame: "<HashKey> <field>=<value>".
const char* const kDumpFrames = R"(
t = id3.ID3(p)
print("version", ".".join(map(str, t.version)))
for key in sorted(t.keys()):
    f = t[key]
    for a in ("encoding", "lang", "desc", "text", "url", "mime", "type", "data"):
        if hasattr(f, a):
            v = getattr(f, a)
            if a == "data": v = v.hex()
            elif a == "text" and not isinstance(v, str): v = "|".join(str(x) for x in v)
            elif a in ("encoding", "type"): v = int(v)
            print(key, "%s=%s" % (a, v))
)";

bool has(const std::string& out, const std::string& line) { return out.find(line + "\n") != std::string::npos; }

class Mp3TagFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratchDir();
        tone_ = makeTone(dir_);
        audio_ = readBytes(tone_);
        ASSERT_GT(audio_.size(), 1000u) << "ffmpeg could not make " << tone_;
        // The store of the test's own configuration folder (the library is linked statically).
        tallory::core::settings::openStore();
        ASSERT_TRUE(PutProfileInt("Settings", "MP3_Store_ID3v1", 0));
    }
    void TearDown() override { run("rm -rf '" + dir_ + "'"); }

    std::string copyOfTone(const std::string& name) {
        const std::string path = dir_ + "/" + name;
        writeBytes(path, audio_);
        return path;
    }
    IMetadataFile* open(const std::string& path) {
        IMetadataFile* file = nullptr;
        EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &file), S_OK);
        return file;
    }
    IMetadataTag* read(const std::string& path) {
        IMetadataFile* file = open(path);
        IMetadataTag* tag = nullptr;
        EXPECT_EQ(file->ReadTag(&tag), S_OK);
        file->Release();
        return tag;
    }
    HRESULT write(const std::string& path, IMetadataTag* tag) {
        IMetadataFile* file = open(path);
        const HRESULT hr = file->WriteTag(tag);
        file->Release();
        return hr;
    }
    // The file ends with the untouched audio.
    void expectAudioKept(const std::string& path, size_t trailing = 0) {
        const auto bytes = readBytes(path);
        ASSERT_GE(bytes.size(), audio_.size() + trailing);
        const auto start = bytes.end() - static_cast<long>(audio_.size() + trailing);
        EXPECT_TRUE(std::equal(audio_.begin(), audio_.end(), start)) << path;
    }
    template <class T>
    T* frame(IMetadataTag* tag, int id, const IID& iid) {
        void* out = nullptr;
        EXPECT_EQ(tag->GetFrame(id, iid, &out), S_OK) << id;
        return static_cast<T*>(out);
    }

    std::string dir_, tone_;
    std::vector<uint8_t> audio_;
};

TEST_F(Mp3TagFile, MutagenReadsWhatWeWrite) {
    const std::string path = copyOfTone("ours.mp3");
    IMetadataTag* tag = nullptr;
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    addText(tag, METADATA_FRAME_TIT2, "Café");
    addText(tag, METADATA_FRAME_TPE1, "Ωμέγα € Ⅻ");
    addText(tag, METADATA_FRAME_TRCK, "3/12");
    addText(tag, METADATA_FRAME_TCON, "(17)");
    auto* comment = newFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    comment->SetLanguage(u"eng");
    comment->SetDescription(u16("dé").c_str());
    comment->SetText(u16("çomment €").c_str());
    comment->AttachTo(tag);
    comment->Release();
    auto* user = newFrame<IUserTextFrame>(METADATA_FRAME_TXXX, IID_IUserTextFrame);
    user->SetDescription(u"KEY");
    user->SetText(u16("välue").c_str());
    user->AttachTo(tag);
    user->Release();
    auto* link = newFrame<IUserUrlFrame>(METADATA_FRAME_WXXX, IID_IUserUrlFrame);
    link->SetDescription(u16("home €").c_str());
    link->SetUrl(u"http://example.org/a");
    link->AttachTo(tag);
    link->Release();
    auto* artistUrl = newFrame<IUrlFrame>(METADATA_FRAME_WOAR, IID_IUrlFrame);
    artistUrl->SetUrl(u"http://artist.example/");
    artistUrl->AttachTo(tag);
    artistUrl->Release();
    auto* picture = newFrame<IPictureFrame>(METADATA_FRAME_APIC, IID_IPictureFrame);
    picture->SetMimeType(u"image/png");
    picture->SetDescription(u"cover");
    picture->SetPictureType(3);
    const uint8_t png[6] = {0x89, 'P', 'N', 'G', 0, 0xFF};
    auto* tagImpl = tallory::metadata::asMetadataTag(tag);
    picture->AttachTo(tag);
    picture->Release();
    tallory::metadata::id3::firstFrame(tagImpl->library(), ID3FID_PICTURE)->GetField(ID3FN_DATA)->Set(png, sizeof png);

    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    expectAudioKept(path);

    const std::string out = mutagen(kDumpFrames, path);
    EXPECT_TRUE(has(out, "version 2.3.0")) << out;
    EXPECT_TRUE(has(out, "TIT2 encoding=0")) << out;  // ISO-8859-1 holds it
    EXPECT_TRUE(has(out, "TIT2 text=Café")) << out;
    EXPECT_TRUE(has(out, "TPE1 encoding=1")) << out;  // it does not: UTF-16
    EXPECT_TRUE(has(out, "TPE1 text=Ωμέγα € Ⅻ")) << out;
    EXPECT_TRUE(has(out, "TRCK text=3/12")) << out;
    EXPECT_TRUE(has(out, "TCON text=Rock")) << out;  // mutagen reads the (17) reference as its name
    EXPECT_TRUE(has(out, "COMM:dé:eng encoding=1")) << out;
    EXPECT_TRUE(has(out, "COMM:dé:eng text=çomment €")) << out;
    EXPECT_TRUE(has(out, "TXXX:KEY encoding=0")) << out;
    EXPECT_TRUE(has(out, "TXXX:KEY text=välue")) << out;
    EXPECT_TRUE(has(out, "WXXX:home € url=http://example.org/a")) << out;
    EXPECT_TRUE(has(out, "WOAR:http://artist.example/ url=http://artist.example/")) << out;
    EXPECT_TRUE(has(out, "APIC:cover mime=image/png")) << out;
    EXPECT_TRUE(has(out, "APIC:cover type=3")) << out;
    EXPECT_TRUE(has(out, "APIC:cover data=89504e4700ff")) << out;

    // And our own reader agrees.
    IMetadataTag* back = read(path);
    EXPECT_EQ(back->GetFrameCount(), 9);
    auto* artist = frame<ITextFrame>(back, METADATA_FRAME_TPE1, IID_ITextFrame);
    EXPECT_EQ(get(artist, &ITextFrame::GetText), "Ωμέγα € Ⅻ");
    artist->Release();
    auto* readComment = frame<ICommentFrame>(back, METADATA_FRAME_COMM, IID_ICommentFrame);
    EXPECT_EQ(display(readComment), "çomment € (dé)");
    EXPECT_EQ(get(readComment, &ICommentFrame::GetLanguage), "eng");
    readComment->Release();
    auto* genre = frame<IMetadataFrame>(back, METADATA_FRAME_TCON, IID_IMetadataFrame);
    EXPECT_EQ(display(genre), "Rock");
    genre->Release();
    back->Release();
}

TEST_F(Mp3TagFile, WeReadWhatMutagenWrites) {
    const std::string path = copyOfTone("theirs.mp3");
    int status = 0;
    const std::string out = mutagen(R"(
t = id3.ID3()
t.add(id3.TIT2(encoding=1, text="Ünïcødé ☃ title"))
t.add(id3.TPE1(encoding=0, text="Björk"))
t.add(id3.TRCK(encoding=0, text="7/9"))
t.add(id3.COMM(encoding=1, lang="deu", desc="Beschreibung €", text="Kommentar ✓"))
t.add(id3.TXXX(encoding=1, desc="ÿ key", text="value ✓"))
t.add(id3.WXXX(encoding=0, desc="shop", url="http://shop.example/"))
t.add(id3.APIC(encoding=0, mime="image/jpeg", type=4, desc="back", data=b"\xff\xd8\xff\x00jpeg"))
t.add(id3.USLT(encoding=1, lang="eng", desc="", text="lyrics ♪ line"))
t.save(p, v2_version=3)
print("saved")
)", path, &status);
    ASSERT_EQ(status, 0) << out;

    IMetadataTag* tag = read(path);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->GetFrameCount(), 8);
    auto* title = frame<ITextFrame>(tag, METADATA_FRAME_TIT2, IID_ITextFrame);
    EXPECT_EQ(get(title, &ITextFrame::GetText), "Ünïcødé ☃ title");
    title->Release();
    auto* artist = frame<ITextFrame>(tag, METADATA_FRAME_TPE1, IID_ITextFrame);
    EXPECT_EQ(get(artist, &ITextFrame::GetText), "Björk");
    artist->Release();
    auto* track = frame<ITextFrame>(tag, METADATA_FRAME_TRCK, IID_ITextFrame);
    EXPECT_EQ(display(track), "7/9");
    track->Release();
    auto* comment = frame<ICommentFrame>(tag, METADATA_FRAME_COMM, IID_ICommentFrame);
    EXPECT_EQ(get(comment, &ICommentFrame::GetLanguage), "deu");
    EXPECT_EQ(get(comment, &ICommentFrame::GetDescription), "Beschreibung €");
    EXPECT_EQ(get(comment, &ICommentFrame::GetText), "Kommentar ✓");
    comment->Release();
    auto* user = frame<IUserTextFrame>(tag, METADATA_FRAME_TXXX, IID_IUserTextFrame);
    EXPECT_EQ(display(user), "value ✓ (ÿ key)");
    user->Release();
    auto* link = frame<IUserUrlFrame>(tag, METADATA_FRAME_WXXX, IID_IUserUrlFrame);
    EXPECT_EQ(display(link), "http://shop.example/ (shop)");
    link->Release();
    auto* picture = frame<IPictureFrame>(tag, METADATA_FRAME_APIC, IID_IPictureFrame);
    EXPECT_EQ(display(picture), "image/jpeg (back, 8 bytes)");
    EXPECT_EQ(picture->GetPictureType(), 4);
    picture->Release();
    void* none = nullptr;
    EXPECT_EQ(tag->GetFrame(METADATA_FRAME_USLT, IID_IMetadataFrame, &none), E_INVALIDARG);

    // Written back unchanged, every frame survives, the kind-less USLT and UTF-16 texts included.
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    expectAudioKept(path);
    const std::string dump = mutagen(kDumpFrames, path);
    EXPECT_TRUE(has(dump, "TIT2 text=Ünïcødé ☃ title")) << dump;
    EXPECT_TRUE(has(dump, "TPE1 text=Björk")) << dump;
    EXPECT_TRUE(has(dump, "COMM:Beschreibung €:deu text=Kommentar ✓")) << dump;
    EXPECT_TRUE(has(dump, "TXXX:ÿ key text=value ✓")) << dump;
    EXPECT_TRUE(has(dump, "APIC:back data=ffd8ff006a706567")) << dump;
    EXPECT_TRUE(has(dump, "USLT::eng text=lyrics ♪ line")) << dump;
}

TEST_F(Mp3TagFile, OneTagTypeBySettingAndEmptyTagStrips) {
    const std::string path = copyOfTone("types.mp3");
    int status = 0;
    const std::string saved = mutagen(R"(
t = id3.ID3()
t.add(id3.TIT2(encoding=0, text="both kinds"))
t.add(id3.TPE1(encoding=0, text="artist"))
t.save(p, v1=2, v2_version=3)
)", path, &status);
    ASSERT_EQ(status, 0) << saved;

    // ID3v1 only: the ID3v2 tag goes.
    ASSERT_TRUE(PutProfileInt("Settings", "MP3_Store_ID3v1", 1));
    IMetadataTag* tag = read(path);
    EXPECT_EQ(tag->GetFrameCount(), 2);  // ID3v1 and ID3v2 merged into one set of frames
    ASSERT_EQ(write(path, tag), S_OK);
    auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), audio_.size() + 128);
    EXPECT_NE(std::string(bytes.begin(), bytes.begin() + 3), "ID3");
    EXPECT_EQ(std::string(bytes.end() - 128, bytes.end() - 125), "TAG");
    std::string out = mutagen("print('.'.join(map(str, id3.ID3(p).version)))", path);
    EXPECT_EQ(out, "1.1\n");  // mutagen finds only the ID3v1 tag
    out = mutagen("from mutagen.mp3 import MP3\nprint(MP3(p).tags['TIT2'].text[0], MP3(p).tags['TPE1'].text[0])", path);
    EXPECT_EQ(out, "both kinds artist\n");

    // ID3v2 only: the ID3v1 tag goes.
    ASSERT_TRUE(PutProfileInt("Settings", "MP3_Store_ID3v1", 0));
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    bytes = readBytes(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "ID3");
    EXPECT_NE(std::string(bytes.end() - 128, bytes.end() - 125), "TAG");
    expectAudioKept(path);
    EXPECT_TRUE(has(mutagen(kDumpFrames, path), "TIT2 text=both kinds"));

    // An empty tag strips the file back to its audio.
    IMetadataTag* empty = nullptr;
    ASSERT_EQ(MetadataCreateTag(&empty), S_OK);
    EXPECT_EQ(write(path, empty), S_OK);
    EXPECT_EQ(readBytes(path), audio_);
    EXPECT_EQ(write(path, empty), S_OK);  // and a tag-less file stays as it is
    EXPECT_EQ(readBytes(path), audio_);
    empty->Release();
}

std::vector<uint8_t> id3v2Header(uint32_t size, uint8_t major = 3, uint8_t flags = 0) {
    return {'I', 'D', '3', major, 0, flags, static_cast<uint8_t>((size >> 21) & 0x7F),
            static_cast<uint8_t>((size >> 14) & 0x7F), static_cast<uint8_t>((size >> 7) & 0x7F),
            static_cast<uint8_t>(size & 0x7F)};
}

TEST_F(Mp3TagFile, HostileTagsReadAsTagless) {
    struct Case {
        const char* name;
        std::vector<uint8_t> head;
    };
    std::vector<Case> cases;
    cases.push_back({"size_beyond_file", id3v2Header(0x0FFFFFFF)});
    // (A frame declaring more bytes than the tag holds is a damaged frame of a
    // trusted tag: see DamagedFramesAreNeverLost.)
    cases.push_back({"bad_version", {'I', 'D', '3', 0xFF, 0, 0, 0, 0, 0, 10}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = c.head;
        bytes.insert(bytes.end(), audio_.begin(), audio_.end());
        EXPECT_FALSE(tallory::metadata::checkTagBytes(bytes).trusted);
        EXPECT_FALSE(tallory::metadata::checkTagBytes(bytes).reason.empty());
        const std::string path = dir_ + "/" + c.name + ".mp3";
        writeBytes(path, bytes);
        IMetadataTag* tag = read(path);
        ASSERT_NE(tag, nullptr);
        EXPECT_EQ(tag->GetFrameCount(), 0);
        // Writing keeps every byte of the untrusted file behind the new tag.
        addText(tag, METADATA_FRAME_TIT2, "new");
        ASSERT_EQ(write(path, tag), S_OK);
        tag->Release();
        const auto after = readBytes(path);
        ASSERT_GT(after.size(), bytes.size());
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.end() - static_cast<long>(bytes.size())));
    }
    // A Lyrics3 v2 tag whose size runs past the start of the file.
    std::vector<uint8_t> lyrics = audio_;
    const std::string trailer = "999999LYRICS200";
    lyrics.insert(lyrics.end(), trailer.begin(), trailer.end());
    EXPECT_FALSE(tallory::metadata::checkTagBytes(lyrics).trailerTrusted);
    EXPECT_TRUE(tallory::metadata::checkTagBytes(audio_).trusted);
}

// A v2.3 frame of `id` holding `payload`, zlib-compressed; `declared` overrides the inflated size.
std::vector<uint8_t> compressedFrame(const char* id, const std::string& payload, uint32_t declared = 0) {
    std::vector<uint8_t> packed(compressBound(payload.size()));
    uLongf packedBytes = packed.size();
    compress(packed.data(), &packedBytes, reinterpret_cast<const Bytef*>(payload.data()), payload.size());
    packed.resize(packedBytes);
    const uint32_t size = static_cast<uint32_t>(packed.size() + 4);
    const uint32_t inflated = declared != 0 ? declared : static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> frame(id, id + 4);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(size >> shift));
    frame.push_back(0);
    frame.push_back(0x80);
    for (int shift = 24; shift >= 0; shift -= 8) frame.push_back(static_cast<uint8_t>(inflated >> shift));
    frame.insert(frame.end(), packed.begin(), packed.end());
    return frame;
}

TEST_F(Mp3TagFile, CompressedFramesAndNewerTagsAreRead) {
    // id3lib's own inflater overruns a stack variable: compressed frames are inflated before it sees them.
    std::vector<uint8_t> frames = compressedFrame("TIT2", std::string("\0", 1) + "packed title");
    const auto album = compressedFrame("TALB", std::string("\0", 1) + "claims 2 GB", 0x7FFFFFFF);
    frames.insert(frames.end(), album.begin(), album.end());
    const uint8_t artist[] = {'T', 'P', 'E', '1', 0, 0, 0, 3, 0, 0, 0, 'M', 'e'};
    frames.insert(frames.end(), std::begin(artist), std::end(artist));
    std::vector<uint8_t> bytes = id3v2Header(static_cast<uint32_t>(frames.size()));
    bytes.insert(bytes.end(), frames.begin(), frames.end());
    const auto check = tallory::metadata::checkTagBytes(bytes);
    EXPECT_TRUE(check.trusted) << check.reason;
    // The album that would inflate to 2 GB is not inflated, but kept as it is.
    ASSERT_EQ(check.rawFrames.size(), 1u);
    EXPECT_EQ(check.rawFrames[0].id, "TALB");
    bytes.insert(bytes.end(), audio_.begin(), audio_.end());
    const std::string path = dir_ + "/compressed.mp3";
    writeBytes(path, bytes);
    IMetadataTag* tag = read(path);
    EXPECT_EQ(tag->GetFrameCount(), 3);
    auto* title = frame<ITextFrame>(tag, METADATA_FRAME_TIT2, IID_ITextFrame);
    EXPECT_EQ(get(title, &ITextFrame::GetText), "packed title");
    title->Release();
    // Written back, the frames are stored plainly and the old tag is gone.
    ASSERT_EQ(write(path, tag), S_OK);
    tag->Release();
    expectAudioKept(path);
    EXPECT_TRUE(has(mutagen(kDumpFrames, path), "TIT2 text=packed title"));

    // ID3v2.4, as mutagen writes by default (UTF-8 text), is read through the ID3v2.3 layout.
    const std::string newer = copyOfTone("v24.mp3");
    int status = 0;
    const std::string saved = mutagen(R"(
t = id3.ID3()
t.add(id3.TIT2(encoding=3, text="Grüße ✓"))
t.add(id3.TPE1(encoding=0, text="Björk"))
t.save(p)
)", newer, &status);
    ASSERT_EQ(status, 0) << saved;
    tag = read(newer);
    ASSERT_EQ(tag->GetFrameCount(), 2);
    title = frame<ITextFrame>(tag, METADATA_FRAME_TIT2, IID_ITextFrame);
    EXPECT_EQ(get(title, &ITextFrame::GetText), "Grüße ✓");
    title->Release();
    auto* artistFrame = frame<ITextFrame>(tag, METADATA_FRAME_TPE1, IID_ITextFrame);
    EXPECT_EQ(get(artistFrame, &ITextFrame::GetText), "Björk");
    artistFrame->Release();
    tag->Release();
}

TEST_F(Mp3TagFile, FailedWriteLeavesTheOriginalWhole) {
    const std::string path = copyOfTone("limited.mp3");
    IMetadataTag* tag = nullptr;
    ASSERT_EQ(MetadataCreateTag(&tag), S_OK);
    addText(tag, METADATA_FRAME_TIT2, "too big to write");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit below the file's size makes the new file fail half-way.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            4096, 4096
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        IMetadataFile* file = nullptr;
        MetadataCreateFromFile(path.c_str(), &file);
        ::_exit(file->WriteTag(tag) == E_FAIL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readBytes(path), audio_);
    EXPECT_EQ(run("ls -A '" + dir_ + "' | grep -c tag-"), "0\n");  // no temporary file left

    // A missing file: reading gives an empty tag, writing fails.
    IMetadataTag* none = read(dir_ + "/missing.mp3");
    EXPECT_EQ(none->GetFrameCount(), 0);
    none->Release();
    EXPECT_EQ(write(dir_ + "/missing.mp3", tag), E_FAIL);
    EXPECT_EQ(write(path, nullptr), E_INVALIDARG);

    // Through a symbolic link: the file it points to gets the tag, the link stays.
    const std::string linkPath = dir_ + "/link.mp3";
    ASSERT_EQ(::symlink(path.c_str(), linkPath.c_str()), 0);
    ::chmod(path.c_str(), 0640);
    ASSERT_EQ(write(linkPath, tag), S_OK);
    struct stat info {};
    ASSERT_EQ(::lstat(linkPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);  // the permissions carry over
    EXPECT_TRUE(has(mutagen(kDumpFrames, path), "TIT2 text=too big to write"));
    tag->Release();
}

}  // namespace
