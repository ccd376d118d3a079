// A tag file with given text frames, and a memory source that hands it out,
// for code that reads tags only through the tag interfaces.
#ifndef TALLORY_TESTS_FAKE_TAG_H
#define TALLORY_TESTS_FAKE_TAG_H

#include <map>
#include <string>

#include "memory_objects.h"
#include "tallory/metadata.h"

template <class Interface>
class FakeRefCounted : public Interface {
public:
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }

protected:
    virtual ~FakeRefCounted() = default;

private:
    uint32_t refs_ = 1;
};

using FakeFrames = std::map<int, std::u16string>;

class FakeTextFrame final : public FakeRefCounted<ITextFrame> {
public:
    FakeTextFrame(int id, std::u16string text) : id_(id), text_(std::move(text)) {}
    void AttachTo(IMetadataTag*) override {}
    int IsReadOnly() override { return 0; }
    int Edit(HWND) override { return 0; }
    const char* GetName() override { return "fake"; }
    void GetKindInterfaceId(IID* iid) override { *iid = IID_ITextFrame; }
    int GetFrameId() override { return id_; }
    void GetDisplayText(char16_t*, int) override {}
    int IsEqual(IMetadataFrame*) override { return 0; }
    void CopyTo(IMetadataFrame*) override {}
    void SetText(const char16_t* text) override { text_ = text; }
    // As the interface says: at most capacity characters, unterminated when full.
    void GetText(char16_t* buffer, int capacity) override {
        size_t n = std::min(text_.size() + 1, static_cast<size_t>(capacity));
        std::copy(text_.c_str(), text_.c_str() + n, buffer);
    }

private:
    int id_;
    std::u16string text_;
};

class FakeTag final : public FakeRefCounted<IMetadataTag> {
public:
    explicit FakeTag(FakeFrames frames) : frames_(std::move(frames)) {}
    int GetFrameCount() override { return static_cast<int>(frames_.size()); }
    HRESULT Reserved(int, const IID&, void**) override { return E_NOTIMPL; }
    HRESULT GetFrame(int id, const IID& iid, void** frame) override {
        *frame = nullptr;
        auto it = frames_.find(id);
        if (it == frames_.end()) return E_INVALIDARG;
        if (iid != IID_ITextFrame) return E_NOINTERFACE;
        *frame = static_cast<ITextFrame*>(new FakeTextFrame(id, it->second));
        return S_OK;
    }
    HRESULT RemoveFrames(int id) override {
        frames_.erase(id);
        return S_OK;
    }

private:
    FakeFrames frames_;
};

class FakeTagFile final : public FakeRefCounted<IMetadataFile> {
public:
    explicit FakeTagFile(FakeFrames frames) : frames_(std::move(frames)) {}
    int GetCapabilities() override { return METADATA_CAN_READ; }
    HRESULT ReadTag(IMetadataTag** tag) override {
        *tag = new FakeTag(frames_);
        return S_OK;
    }
    HRESULT WriteTag(IMetadataTag*) override { return E_FAIL; }

private:
    FakeFrames frames_;
};

// A memory source with a tag; no frames at all means no tag file.
class TaggedSource : public MemorySource {
public:
    FakeFrames frames;
    bool hasTag = true;
    bool GetTag(IMetadataFile** tag) override {
        *tag = nullptr;
        if (!hasTag) return false;
        *tag = new FakeTagFile(frames);
        return true;
    }
};

#endif
