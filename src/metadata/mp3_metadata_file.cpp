#include "metadata/mp3_metadata_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

namespace tallory::metadata {

namespace {

constexpr size_t kId3v1Bytes = 128;
// The tags id3lib finds at the end of a file: its ID3v2 tag is parsed from the checked copy.
constexpr flags_t kTrailingTags = ID3TT_ALL & ~ID3TT_ID3V2;
constexpr size_t kCopyChunkBytes = 1 << 16;

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

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool copyRange(int from, int to, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> chunk(kCopyChunkBytes);
    while (length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, chunk.size()));
        const ssize_t n = ::pread(from, chunk.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!writeAll(to, chunk.data(), static_cast<size_t>(n))) return false;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<uint64_t>(n);
    }
    return true;
}

struct AudioRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Where the audio lies between the file's tags. id3lib finds them when the file is
// safe to give it; otherwise only a plain ID3v1 tag at the end is recognised.
std::optional<AudioRange> audioRange(const std::string& path, int fd, uint64_t fileSize) {
    uint64_t prepended = 0, appended = 0;
    const TagCheck check = checkTagFile(path);
    if (check.trusted) {
        ID3_Tag probe;
        probe.Link(path.c_str(), kTrailingTags);
        prepended = check.id3v2Bytes;
        appended = probe.GetAppendedBytes();
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

// Writes the tag and the original's audio into a new file beside the original and
// renames it over the original, so that a failure leaves the original whole.
// Every tag the original had (ID3v2, ID3v1, Lyrics3, MusicMatch) is left out.
bool replaceTags(const std::string& path, ID3_Tag& tag, bool id3v1, size_t frames) {
    // Replace the file a link points to, not the link.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    Descriptor original(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (original.get() < 0 || ::fstat(original.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const auto range = audioRange(target, original.get(), static_cast<uint64_t>(info.st_size));
    if (!range) return false;

    std::vector<uint8_t> head, tail;
    if (id3v1) {
        tail = renderId3v1(tag);
    } else {
        auto rendered = renderId3v2(tag, range->length);
        if (!rendered) return false;
        head = std::move(*rendered);
    }
    // Frames to write but no tag: as a library update that wrote nothing, a failure.
    if (frames > 0 && head.empty() && tail.empty()) return false;

    std::string temporary = platform::directoryOf(target) + "/." + platform::fileNameOf(target) + ".tag-XXXXXX";
    Descriptor output(::mkstemp(temporary.data()));
    if (output.get() < 0) return false;
    bool ok = writeAll(output.get(), head.data(), head.size()) &&
              copyRange(original.get(), output.get(), range->offset, range->length) &&
              writeAll(output.get(), tail.data(), tail.size());
    ok = ok && ::fchmod(output.get(), info.st_mode & 07777) == 0;
    if (ok) (void)!::fchown(output.get(), info.st_uid, info.st_gid);  // only root may give a file away
    ok = ok && ::fsync(output.get()) == 0;
    ok = output.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

// Reads the file's tags into `into`: the checked ID3v2 tag first, then the frames
// of the tags at the end whose identifiers the ID3v2 tag lacks.
void readTags(const std::string& path, ID3_Tag& into) {
    const TagCheck check = checkTagFile(path);
    if (!check.trusted) return;
    if (!check.id3v2.empty()) {
        ID3_MemoryReader reader(check.id3v2.data(), check.id3v2.size());
        into.Parse(reader);
    }
    ID3_Tag trailing;
    trailing.Link(path.c_str(), kTrailingTags);
    id3::forEachFrame(trailing, [&](ID3_Frame& frame) {
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
        readTags(path_, result->library());
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
        ID3_Tag out;
        size_t copied = 0;
        id3::forEachFrame(source->library(), [&](ID3_Frame& frame) {
            ID3_Frame* copy = id3::cloneFrame(frame);
            if (copy == nullptr) throw std::bad_alloc();
            out.AttachFrame(copy);
            ++copied;
            return true;
        });
        const bool id3v1 = core::settings::readInt("Settings", "MP3_Store_ID3v1", 0) != 0;
        return replaceTags(path_, out, id3v1, copied) ? S_OK : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tallory::metadata
