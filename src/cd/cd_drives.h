// The process-wide drive collection and its drives. A drive lives as long as
// the collection; its reference count only lends the collection out.
#ifndef TALLORY_CD_CD_DRIVES_H
#define TALLORY_CD_CD_DRIVES_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cd/disc_id.h"
#include "cd/engine/scsi/scsi_layer.h"
#include "core/ref_count.h"
#include "tallory/cd.h"

namespace tallory::cd {

class CDDrives;

class CDDrive final : public ICDDrive {
public:
    CDDrive(CDDrives* owner, std::shared_ptr<engine::scsi::Device> device, int index);
    ~CDDrive();

    HRESULT QueryInterface(const IID& riid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int GetDriveLetter() override;
    HRESULT SetDriveLetter(int letter) override;
    HRESULT DetectDriveLetter() override;
    int GetCapabilities() override;
    HRESULT RefreshTOC() override;
    const uint32_t* GetDiscLayout() override;
    uint32_t GetDiscId() override;
    HRESULT Advise(ICDTrack* track) override;
    HRESULT Unadvise(ICDTrack* track) override;
    HRESULT OpenTrack(int index, ICDTrack** track) override;
    HRESULT OpenTrackByPath(const char* path, ICDTrack** track) override;
    HRESULT GetTrackCount(int* count) override;
    int GetMaxWriteSpeed() override;
    int EstimateWriteMinutes(int speedIndex, uint32_t sectors) override;
    HRESULT Record(HWND parent, IConvProgress* progress, const CDRecordRequest* request, uint32_t unused,
                   bool bufferUnderrunProtection) override;
    HRESULT GetDescription(char* buffer, int capacity) override;
    HRESULT LookupCDDB(ICDDBCallback* callback) override;
    HRESULT SubmitCDDB(ICDDBCallback* callback) override;
    bool GetTitle(char* buffer, int capacity) override;
    bool GetArtist(char* buffer, int capacity) override;
    bool GetGenre(char* buffer, int capacity) override;
    bool GetCategory(char* buffer, int capacity) override;
    bool GetYear(int* year) override;
    bool GetTrackTitle(int index, char* buffer, int capacity) override;
    bool GetTrackExtra(int index, char* buffer, int capacity) override;
    bool SetTitle(const char* text) override;
    bool SetArtist(const char* text) override;
    bool SetGenre(const char* text) override;
    bool SetCategory(const char* text) override;
    bool SetYear(int year) override;
    bool SetTrackTitle(int index, const char* text) override;
    bool SetTrackExtra(int index, const char* text) override;

    // For the track source and the CLI.
    engine::scsi::Device& device() { return *device_; }
    std::shared_ptr<engine::scsi::Device> sharedDevice() { return device_; }
    // The path tracks are named under: the device node, or an image's cue path.
    std::string root() const { return device_->devicePath(); }
    // The record of the audio track with that number; false when none.
    bool recordForTrack(int trackNumber, CDTrackRecord* record);
    std::vector<CDTrackRecord> records();
    // The table as read: every entry and the lead-out; empty before RefreshTOC.
    std::vector<TocTrack> tocTracks(int32_t* leadOut);
    int audioTrackCount();
    // vendor + product + revision run together: the key of the model's settings.
    std::string modelKey() const;
    int readOffset();

private:
    struct Entry {
        int recordIndex = -1;
        std::string title;
        std::string extra;
    };
    bool copyText(const std::string& text, char* buffer, int capacity);
    bool setText(std::string& field, const char* text);

    CDDrives* owner_;
    std::shared_ptr<engine::scsi::Device> device_;
    int index_;
    core::RefCount refs_;
    std::atomic<bool> busy_{false};
    std::mutex mutex_;  // guards everything below
    int letter_ = -1;
    std::vector<CDTrackRecord> records_;
    std::vector<Entry> entries_;
    std::vector<TocTrack> toc_;
    int32_t leadOut_ = 0;
    std::vector<uint32_t> layout_;
    uint32_t discId_ = 0;
    std::string title_, artist_, genre_, category_;
    int year_ = -1;
    bool modified_ = false;
    std::vector<ICDTrack*> tracks_;  // attached, not held
};

class CDDrives final : public ICDDrives {
public:
    // The instance with a new reference, created at the first call.
    static HRESULT get(ICDDrives** out);
    // For the image export: false when a collection exists.
    static bool exists();

    HRESULT QueryInterface(const IID& riid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    HRESULT GetDrive(int index, ICDDrive** drive) override;
    HRESULT SetDriveLetter(int index, int letter) override;
    int GetDriveLetter(int index) override;
    HRESULT GetDriveLetterTo(int index, int* letter) override;
    HRESULT DetectDriveLetter(int index) override;
    HRESULT FindDriveByLetter(int letter, ICDDrive** drive) override;
    HRESULT GetDriveDescription(int index, char* buffer, int capacity) override;
    HRESULT GetInitError(char* buffer) override;
    int GetDriveCapabilities(int index) override;
    int CountDrives(int mask) override;

    // The drive a track path names (its root followed by "/Track"), or null. No reference.
    CDDrive* driveForPath(const std::string& path);
    int indexOf(const CDDrive* drive) const;
    std::size_t size() const { return drives_.size(); }

private:
    CDDrives();
    ~CDDrives();
    core::RefCount refs_;
    std::unique_ptr<engine::scsi::ScsiLayer> layer_;
    std::vector<std::unique_ptr<CDDrive>> drives_;
    bool initFailed_ = false;
    engine::scsi::EngineError initError_;
};

// Settings of the drive models, section "AudioCD".
inline constexpr const char* kAudioCdSection = "AudioCD";
// Drives in a collection at most.
inline constexpr std::size_t kMaxDrives = 16;
// An enhanced CD's audio session ends this many sectors before its data track.
inline constexpr uint32_t kEnhancedCdGap = 11400;

// Splits "<root>/TrackNN.cda": the root and NN, or false.
bool splitTrackPath(const std::string& path, std::string* root, int* track);

}  // namespace tallory::cd

#endif
