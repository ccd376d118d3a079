#include "core/object_factory.h"

#include <new>
#include <string>

#include "cd/cd_track_source.h"
#include "core/target_base.h"
#include "core/ui_bridge.h"
#include "core/wma_source_info.h"
#include "formats/aiff/aiff_source.h"
#include "formats/mp3/mp3_target.h"
#include "formats/aiff/aiff_target.h"
#include "formats/wav/wav_source.h"
#include "formats/wav/wav_target.h"
#include "formats/ogg/ogg_source.h"
#include "formats/ogg/ogg_target.h"
#include "formats/wm/wm_reader_source.h"
#include "formats/wm/wma_target.h"
#include "tallory/formats.h"
#include "tallory/guids.h"

namespace tallory::core {

namespace {

// Table order is the order in which classes are tried.
constexpr ClassDescriptor kClasses[] = {
    {&CLSID_Mp3WmaSource, formats::wm::createWmReaderSource, 0},
    {&CLSID_CDTrackSource, cd::CDTrackSource::create, 0},
    {&CLSID_WavSource, formats::wav::createWavSource, 0},
    {&CLSID_AiffSource, formats::aiff::createAiffSource, 0},
    {&CLSID_TwinVQSource, nullptr, 0},
    {&CLSID_OggSource, formats::ogg::OggSource::create, 0},
    {&CLSID_AiffTarget, formats::aiff::createAiffTarget, 0},
    {&CLSID_OggTarget, formats::ogg::OggTarget::create, 0},
    {&CLSID_WavTarget, formats::wav::createWavTarget, TALLORY_DIALOG_WAVE_SETTINGS},
    {&CLSID_Mp3Target, formats::mp3::createMp3Target, TALLORY_DIALOG_MP3_SETTINGS},
    {&CLSID_WmaTarget, formats::wm::createWmaTarget, TALLORY_DIALOG_WMA_SETTINGS},
};

// The built target class of a registry row that has a default-settings dialog.
const ClassDescriptor* defaultSettingsClass(const FormatInfo* info) {
    if (info == nullptr || info->targetClass == nullptr) return nullptr;
    const ClassDescriptor* d = findClass(*info->targetClass);
    if (d == nullptr || d->create == nullptr || d->defaultSettingsDialog == 0) return nullptr;
    return d;
}

}  // namespace

const ClassDescriptor* findClass(const CLSID& classId) {
    for (const ClassDescriptor& d : kClasses) {
        if (*d.classId == classId) return &d;
    }
    return nullptr;
}

}  // namespace tallory::core

using namespace tallory::core;

extern "C" {

TALLORY_API HRESULT ConvCreateObject(CLSID classId, const IID* iid, void** object) {
    if (object != nullptr) *object = nullptr;
    const ClassDescriptor* d = findClass(classId);
    if (d == nullptr || d->create == nullptr) return E_NOINTERFACE;
    if (iid == nullptr || object == nullptr) return E_INVALIDARG;
    IUnknown* created = nullptr;
    try {
        created = d->create();
    } catch (const std::bad_alloc&) {
        created = nullptr;
    }
    if (created == nullptr) return E_OUTOFMEMORY;
    // Hold a reference across QueryInterface so that a refused interface frees the object.
    created->AddRef();
    HRESULT hr = created->QueryInterface(*iid, object);
    created->Release();
    return hr;
}

TALLORY_API HRESULT ConvDefOutputSettings(HWND parent, const FormatInfo* info) {
    const ClassDescriptor* d = defaultSettingsClass(info);
    if (d == nullptr) return S_FALSE;
    TalloryTargetDialogContext context{};
    context.defaultMode = true;
    return ui::showDialog(d->defaultSettingsDialog, parent, &context) ? S_OK : E_ABORT;
}

TALLORY_API HRESULT ConvDefOutputSettingsString(char* buffer, int capacity, const FormatInfo* info) {
    const ClassDescriptor* d = defaultSettingsClass(info);
    if (d == nullptr || buffer == nullptr || capacity <= 0) return E_FAIL;
    // A new target starts from the stored defaults, so its text is the default's text.
    IConvTarget* target = nullptr;
    if (FAILED(ConvCreateObject(*d->classId, &IID_IConvTarget, reinterpret_cast<void**>(&target)))) return E_FAIL;
    bool ok = target->GetSettingsText(buffer, static_cast<uint32_t>(capacity));
    target->Release();
    return ok ? S_OK : E_FAIL;
}

TALLORY_API HRESULT WMASourceGetInfo(IConvSource* source, char* codecName, char* streamLine) {
    if (source == nullptr) return E_INVALIDARG;
    CLSID cls{};
    if (!source->GetClassId(&cls) || cls != CLSID_Mp3WmaSource) return E_FAIL;
    // The codec information operation belongs to the Windows Media source class.
    IWmaSourceInfo* info = nullptr;
    if (FAILED(source->QueryInterface(IID_IWmaSourceInfo, reinterpret_cast<void**>(&info))) || info == nullptr) {
        return E_FAIL;
    }
    HRESULT hr = info->GetCodecInfo(codecName, streamLine);
    info->Release();
    return hr;
}

}  // extern "C"
