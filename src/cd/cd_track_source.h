// CDTrackSource: one audio track of a disc as a source of 44.1 kHz 16-bit
// stereo PCM, also answering ICDTrack and IMetadataFile (the disc's texts as
// tag frames). Reads through the engine's SCSI layer with jitter correction,
// or through the CD reading library (libcdio) when "NoGoldenhawk" is set.
#ifndef TALLORY_CD_CD_TRACK_SOURCE_H
#define TALLORY_CD_CD_TRACK_SOURCE_H

#include <atomic>
#include <mutex>

#include "core/ref_count.h"
#include "core/source_base.h"
#include "tallory/cd.h"
#include "tallory/metadata.h"

namespace tallory::cd {

class CDDrive;

// Process-wide read options (CDSetReadOptions).
CDReadOptions currentReadOptions();
void setReadOptions(const CDReadOptions& options);

class CDTrackSource final : public core::SourceBase {
public:
    static IUnknown* create();
    // A new source attached to `drive` with `record`, returned as its ICDTrack.
    static HRESULT createAttached(CDDrive* drive, const CDTrackRecord& record, ICDTrack** out);

    uint32_t AddRef() override { return refs_.increment(); }
    uint32_t Release() override;

    bool SetPath(const char* path) override;
    bool GetPath(char* buffer, int capacity) override;
    bool GetClassId(CLSID* classId) override;
    bool GetFileName(char* buffer, int capacity) override;
    bool GetDirectory(char* buffer, int capacity) override;
    bool Open() override;
    bool Run(IConvSink* sink) override;
    bool GetTag(IMetadataFile** tag) override;

    // The last run's findings.
    bool report(CDRipReport* out);

protected:
    void* queryExtra(const IID& riid) override;

private:
    CDTrackSource();
    ~CDTrackSource() override;

    // ICDTrack and IMetadataFile share this object's count.
    struct Track final : ICDTrack {
        CDTrackSource* self;
        HRESULT QueryInterface(const IID& riid, void** object) override { return self->QueryInterface(riid, object); }
        uint32_t AddRef() override { return self->AddRef(); }
        uint32_t Release() override { return self->Release(); }
        HRESULT Detach() override { return self->detach(); }
        HRESULT GetLength(int* minutes, int* seconds, int* frames) override;
        HRESULT GetDrive(ICDDrive** drive) override;
        HRESULT GetTrackRecord(CDTrackRecord* record) override;
    };
    struct Tag final : IMetadataFile {
        CDTrackSource* self;
        HRESULT QueryInterface(const IID& riid, void** object) override { return self->QueryInterface(riid, object); }
        uint32_t AddRef() override { return self->AddRef(); }
        uint32_t Release() override { return self->Release(); }
        int GetCapabilities() override { return METADATA_CAN_READ; }
        HRESULT ReadTag(IMetadataTag** tag) override { return self->readTag(tag); }
        HRESULT WriteTag(IMetadataTag*) override { return E_NOTIMPL; }
    };

    HRESULT detach();
    void attach(CDDrive* drive, const CDTrackRecord& record);
    HRESULT readTag(IMetadataTag** tag);
    bool runEngine(IConvSink* sink, CDDrive* drive);
    bool runLibrary(IConvSink* sink, CDDrive* drive);
    // The held drive with a reference of its own, or null.
    CDDrive* heldDrive();

    core::RefCount refs_;
    Track track_;
    Tag tag_;
    std::mutex mutex_;  // guards drive_ and record_ (a TOC read on another thread may detach)
    CDDrive* drive_ = nullptr;
    CDTrackRecord record_{};
    int32_t firstSector_ = 0;
    int32_t endSector_ = 0;
    int jitterMode_ = 0;
    int errorMode_ = 0;
    CDRipReport report_{};
    bool ran_ = false;
};

}  // namespace tallory::cd

#endif
