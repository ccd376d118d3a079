#include "metadata/metadata_frame.h"

#include <new>

#include "core/ui_bridge.h"
#include "metadata/display_text.h"
#include "metadata/id3_support.h"
#include "metadata/metadata_tag.h"
#include "metadata/text_codec.h"

namespace tallory::metadata {

FrameCore::~FrameCore() {
    if (owned_) delete frame_;
}

namespace {

// The shared slots 0 to 11 over the kind interface `Interface`.
template <class Interface>
class FrameObject : public Interface, public FrameCore {
public:
    using FrameCore::FrameCore;

    HRESULT QueryInterface(const IID& iid, void** object) override {
        if (object == nullptr) return E_INVALIDARG;
        if (iid == IID_IUnknown || iid == IID_IMetadataFrame || iid == kindInterfaceOf(kind_)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return references_.increment(); }
    uint32_t Release() override {
        const uint32_t left = references_.decrement();
        if (left == 0) delete this;
        return left;
    }

    void AttachTo(IMetadataTag* tag) override {
        MetadataTag* target = asMetadataTag(tag);
        if (!owned_ || target == nullptr) return;
        target->library().AttachFrame(frame_);
        owned_ = false;
    }
    int IsReadOnly() override { return isReadOnlyKind(kind_) ? 1 : 0; }
    int Edit(HWND parent) override {
        if (isReadOnlyKind(kind_)) return 0;
        TalloryTagFrameDialogContext context{this, GetFrameId()};
        return core::ui::showDialog(TALLORY_DIALOG_TAG_FRAME, parent, &context) ? IDOK : IDCANCEL;
    }
    const char* GetName() override { return ID3_Frame::GetDescription(frame_->GetID()); }
    void GetKindInterfaceId(IID* iid) override {
        if (iid != nullptr) *iid = kindInterfaceOf(kind_);
    }
    int GetFrameId() override { return static_cast<int>(frame_->GetID()); }
    void GetDisplayText(char16_t* buffer, int capacity) override {
        copyToBuffer(displayText(kind_, *frame_), buffer, capacity);
    }
    int IsEqual(IMetadataFrame* other) override {
        const FrameCore* that = dynamic_cast<FrameCore*>(other);
        if (that == nullptr || that->libraryFrame().GetID() != frame_->GetID()) return 0;
        // Compared as rendered: id3lib's own frame size is wrong for UTF-16 text.
        const auto mine = id3::renderFrame(*frame_);
        const auto theirs = id3::renderFrame(that->libraryFrame());
        return mine && theirs && *mine == *theirs ? 1 : 0;
    }
    void CopyTo(IMetadataFrame* other) override {
        FrameCore* that = dynamic_cast<FrameCore*>(other);
        if (that == nullptr || &that->libraryFrame() == frame_) return;
        (void)id3::copyFrame(*frame_, that->libraryFrame());
    }

protected:
    void get(ID3_FieldID field, char16_t* buffer, int capacity) {
        if (const auto text = id3::fieldText(*frame_, field)) copyToBuffer(*text, buffer, capacity);
    }
    void set(ID3_FieldID field, const char16_t* text) {
        if (text != nullptr) (void)id3::setFieldText(*frame_, field, utf16Of(text));
    }
};

class TextFrame final : public FrameObject<ITextFrame> {
public:
    using FrameObject::FrameObject;
    void SetText(const char16_t* text) override { set(ID3FN_TEXT, text); }
    void GetText(char16_t* buffer, int capacity) override { get(ID3FN_TEXT, buffer, capacity); }
};

class UserTextFrame final : public FrameObject<IUserTextFrame> {
public:
    using FrameObject::FrameObject;
    void SetDescription(const char16_t* text) override { set(ID3FN_DESCRIPTION, text); }
    void GetDescription(char16_t* buffer, int capacity) override { get(ID3FN_DESCRIPTION, buffer, capacity); }
    void SetText(const char16_t* text) override { set(ID3FN_TEXT, text); }
    void GetText(char16_t* buffer, int capacity) override { get(ID3FN_TEXT, buffer, capacity); }
};

class CommentFrame final : public FrameObject<ICommentFrame> {
public:
    using FrameObject::FrameObject;
    void SetDescription(const char16_t* text) override { set(ID3FN_DESCRIPTION, text); }
    void GetDescription(char16_t* buffer, int capacity) override { get(ID3FN_DESCRIPTION, buffer, capacity); }
    void SetLanguage(const char16_t* text) override { set(ID3FN_LANGUAGE, text); }
    void GetLanguage(char16_t* buffer, int capacity) override { get(ID3FN_LANGUAGE, buffer, capacity); }
    void SetText(const char16_t* text) override { set(ID3FN_TEXT, text); }
    void GetText(char16_t* buffer, int capacity) override { get(ID3FN_TEXT, buffer, capacity); }
};

class UrlFrame final : public FrameObject<IUrlFrame> {
public:
    using FrameObject::FrameObject;
    void SetUrl(const char16_t* text) override { set(ID3FN_URL, text); }
    void GetUrl(char16_t* buffer, int capacity) override { get(ID3FN_URL, buffer, capacity); }
};

class UserUrlFrame final : public FrameObject<IUserUrlFrame> {
public:
    using FrameObject::FrameObject;
    void SetDescription(const char16_t* text) override { set(ID3FN_DESCRIPTION, text); }
    void GetDescription(char16_t* buffer, int capacity) override { get(ID3FN_DESCRIPTION, buffer, capacity); }
    void SetUrl(const char16_t* text) override { set(ID3FN_URL, text); }
    void GetUrl(char16_t* buffer, int capacity) override { get(ID3FN_URL, buffer, capacity); }
};

// ID3v2.3 4.15: picture types 0 "Other" to 20 "Publisher/Studio logotype".
constexpr int kLastPictureType = 20;

class PictureFrame final : public FrameObject<IPictureFrame> {
public:
    using FrameObject::FrameObject;
    void SetMimeType(const char16_t* text) override { set(ID3FN_MIMETYPE, text); }
    void GetMimeType(char16_t* buffer, int capacity) override { get(ID3FN_MIMETYPE, buffer, capacity); }
    void SetDescription(const char16_t* text) override { set(ID3FN_DESCRIPTION, text); }
    void GetDescription(char16_t* buffer, int capacity) override { get(ID3FN_DESCRIPTION, buffer, capacity); }
    void Reserved16(void*, int) override {}
    void Reserved17(void*, int) override {}
    void SetPictureType(int type) override {
        if (type >= 0 && type <= kLastPictureType) id3::setFieldInt(*frame_, ID3FN_PICTURETYPE, static_cast<uint32_t>(type));
    }
    int GetPictureType() override { return static_cast<int>(id3::fieldInt(*frame_, ID3FN_PICTURETYPE).value_or(0)); }
};

template <class Object>
IMetadataFrame* make(ID3_Frame* frame, bool owned, FrameKind kind) {
    return new (std::nothrow) Object(frame, owned, kind);
}

}  // namespace

IMetadataFrame* makeFrameObject(ID3_Frame* frame, bool owned) {
    if (frame == nullptr) return nullptr;
    const FrameKind kind = frameKindOf(static_cast<int>(frame->GetID()));
    switch (kind) {
        case FrameKind::None:
            return nullptr;
        case FrameKind::UserText:
            return make<UserTextFrame>(frame, owned, kind);
        case FrameKind::Comment:
            return make<CommentFrame>(frame, owned, kind);
        case FrameKind::Url:
            return make<UrlFrame>(frame, owned, kind);
        case FrameKind::UserUrl:
            return make<UserUrlFrame>(frame, owned, kind);
        case FrameKind::Picture:
            return make<PictureFrame>(frame, owned, kind);
        default:
            return make<TextFrame>(frame, owned, kind);
    }
}

void applyDefaults(FrameKind kind, ID3_Frame& frame) {
    // Every other field of a new id3lib frame is already empty and ISO-8859-1.
    if (kind == FrameKind::Comment) (void)id3::setFieldText(frame, ID3FN_LANGUAGE, u"enu");
    if (kind == FrameKind::Language) (void)id3::setFieldText(frame, ID3FN_TEXT, u"enu");
}

}  // namespace tallory::metadata
