#include "metadata/mp3_metadata_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include <id3/readers.h>

#include "core/settings_store.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/tag_guard.h"
#include "metadata/tag_render.h"
#include "platform/files/file_system.h"
#include "platform/log/log.h"
#include "platform/files/output_file.h"

namespace tallory::metadata {

namespace {

constexpr size_t kId3v1Bytes = 128;
// The tags id3lib finds at the end of a file: its ID3v2 tag is parsed from the checked copy.
constexpr flags_t kTrailingTags = ID3TT_ALL & ~ID3TT_ID3V2;

// A file descriptor closed on every path.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }
    void reset() { (void)close(); }

private:
    int fd_;
};

// The tags at a file's end lie within its last bytes: ID3v1 (128), Lyrics3 v2 (at
// most 999999 + 15) and MusicMatch. id3lib reads a file through seeks of single
// bytes, which made a large ID3v2 tag take seconds: it is given only this much of
// the file's end, from memory.
constexpr uint64_t kTrailingWindowBytes = 2u << 20;

// Links `tag` to the tags at the end of the file, reading at most the window
// after the ID3v2 tag. False when the file cannot be read.
bool linkTrailingTags(ID3_Tag& tag, const std::string& path, uint64_t id3v2Bytes) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) return false;
    const long end = std::ftell(f.get());
    if (end < 0 || static_cast<uint64_t>(end) < id3v2Bytes) return false;
    const uint64_t available = static_cast<uint64_t>(end) - id3v2Bytes;
    const uint64_t size = std::min(available, kTrailingWindowBytes);
    std::vector<uint8_t> tail(static_cast<size_t>(size));
    if (std::fseek(f.get(), static_cast<long>(static_cast<uint64_t>(end) - size), SEEK_SET) != 0 ||
        std::fread(tail.data(), 1, tail.size(), f.get()) != tail.size()) {
        return false;
    }
    ID3_MemoryReader reader(tail.data(), tail.size());
    tag.Link(reader, kTrailingTags);
    return true;
}

struct AudioRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Where the audio lies between the file's tags. id3lib finds them when the file is
// safe to give it; otherwise only a plain ID3v1 tag at the end is recognised.
std::optional<AudioRange> audioRange(const std::string& path, const TagCheck& check, int fd, uint64_t fileSize) {
    uint64_t prepended = 0, appended = 0;
    if (check.trusted) {
        prepended = check.id3v2Bytes;
        if (check.trailerTrusted) {
            ID3_Tag probe;
            if (!linkTrailingTags(probe, path, check.id3v2Bytes)) return std::nullopt;
            appended = probe.GetAppendedBytes();
        }
    } else if (fileSize >= kId3v1Bytes) {
        uint8_t magic[3];
        if (::pread(fd, magic, 3, static_cast<off_t>(fileSize - kId3v1Bytes)) == 3 && magic[0] == 'T' &&
            magic[1] == 'A' && magic[2] == 'G') {
            appended = kId3v1Bytes;
        }
    }
    if (prepended + appended > fileSize) return std::nullopt;
    return AudioRange{prepended, fileSize - prepended - appended};
}

// Writes the tag and the original's audio into a new file that takes the
// original's place atomically, so that a failure leaves the original whole.
// Every tag the original had (ID3v2, ID3v1, Lyrics3, MusicMatch) is left out.
bool replaceTags(const std::string& path, MetadataTag& tag, bool id3v1, size_t frames) {
    // Replace the file a link points to, not the link.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    Descriptor original(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (original.get() < 0 || ::fstat(original.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const TagCheck check = checkTagFile(target);
    if (!check.damage.empty() && frames > 0) {
        // The frames after the damage were not read: a new tag would lose them
        // (an empty tag is the user removing every frame).
        platform::log::write(TALLORY_LOG_ERROR, path + ": the ID3v2 tag is damaged (" + check.damage +
                                                    "); it is not rewritten, so that none of its frames is lost");
        return false;
    }
    const auto range = audioRange(target, check, original.get(), static_cast<uint64_t>(info.st_size));
    if (!range) return false;

    std::vector<uint8_t> head, tail;
    if (id3v1) {
        tail = renderId3v1(tag.library());
    } else {
        std::string why;
        auto rendered = renderId3v2(tag.library(), tag.rawFrames(), tag.id3v2Major(), range->length, why);
        if (!rendered) {
            platform::log::write(TALLORY_LOG_ERROR, path + ": " + why);
            return false;
        }
        head = std::move(*rendered);
    }
    // Frames to write but no tag: as a library update that wrote nothing, a failure.
    if (frames > 0 && head.empty() && tail.empty()) return false;

    platform::ReplacementPlan plan;
    plan.head = std::move(head);
    plan.keepOffset = range->offset;
    plan.keepLength = range->length;
    plan.tail = std::move(tail);
    return static_cast<bool>(platform::replaceFile(target, plan, original.get()));
}

// Reads the file's tags into `into`: the checked ID3v2 tag first, then the frames
// of the tags at the end whose identifiers the ID3v2 tag lacks.
void readTags(const std::string& path, MetadataTag& tag) {
    TagCheck check = checkTagFile(path);
    if (!check.trusted) return;
    ID3_Tag& into = tag.library();
    if (!check.id3v2.empty()) {
        ID3_MemoryReader reader(check.id3v2.data(), check.id3v2.size());
        into.Parse(reader);
    }
    tag.rawFrames() = std::move(check.rawFrames);
    tag.setId3v2Major(check.major);
    ID3_Tag trailing;
    if (!check.trailerTrusted || !linkTrailingTags(trailing, path, check.id3v2Bytes)) return;
    // An ID3v2.4 tag keeps its year in TDRC, which id3lib holds by its identifier only.
    bool hasRecordingTime = false;
    id3::forEachFrame(into, [&](ID3_Frame& frame) {
        hasRecordingTime = id3::frameIdString(frame) == "TDRC";
        return !hasRecordingTime;
    });
    id3::forEachFrame(trailing, [&](ID3_Frame& frame) {
        if (frame.GetID() == ID3FID_YEAR && hasRecordingTime) return true;
        if (id3::firstFrame(into, frame.GetID()) == nullptr) {
            if (ID3_Frame* copy = id3::cloneFrame(frame)) into.AttachFrame(copy);
        }
        return true;
    });
}

}  // namespace

HRESULT Mp3MetadataFile::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IUnknown || iid == IID_IMetadataFile) {
        *object = static_cast<IMetadataFile*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

uint32_t Mp3MetadataFile::AddRef() { return references_.increment(); }

uint32_t Mp3MetadataFile::Release() {
    const uint32_t left = references_.decrement();
    if (left == 0) delete this;
    return left;
}

int Mp3MetadataFile::GetCapabilities() { return METADATA_CAN_READ | METADATA_CAN_WRITE; }

HRESULT Mp3MetadataFile::ReadTag(IMetadataTag** tag) {
    if (tag == nullptr) return E_INVALIDARG;
    auto* result = new (std::nothrow) MetadataTag;
    if (result == nullptr) return E_OUTOFMEMORY;
    try {
        // A file that is missing, unreadable or fails the checks reads as tag-less.
        readTags(path_, *result);
    } catch (const std::bad_alloc&) {
        delete result;
        return E_OUTOFMEMORY;
    }
    result->AddRef();
    *tag = result;
    return S_OK;
}

HRESULT Mp3MetadataFile::WriteTag(IMetadataTag* tag) {
    MetadataTag* source = asMetadataTag(tag);
    if (source == nullptr) return E_INVALIDARG;
    try {
        MetadataTag out;
        size_t copied = source->rawFrames().size();
        id3::forEachFrame(source->library(), [&](ID3_Frame& frame) {
            ID3_Frame* copy = id3::cloneFrame(frame);
            if (copy == nullptr) throw std::bad_alloc();
            out.library().AttachFrame(copy);
            ++copied;
            return true;
        });
        out.rawFrames() = source->rawFrames();
        out.setId3v2Major(source->id3v2Major());
        const bool id3v1 = core::settings::readInt("Settings", "MP3_Store_ID3v1", 0) != 0;
        return replaceTags(path_, out, id3v1, copied) ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tallory::metadata
