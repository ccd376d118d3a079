// TalloryWriteIsoImage: the ISO9660 writer into an image file.
#include "tallory/iso_image.h"

#include <sys/stat.h>

#include <atomic>
#include <string>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/recording/iso_file_sink.h"
#include "core/export_guard.h"

namespace tallory::cd::recording {

namespace {

using namespace engine;

constexpr size_t kMaxVolumeLabel = 32;

void reportError(IConvProgress* progress, const EngineError& e) {
    if (progress == nullptr) return;
    if (!e.mainText().empty()) progress->MessageEx((e.mainText() + "\n").c_str(), "e");
    if (!e.detailText().empty()) progress->MessageEx((e.detailText() + "\n").c_str(), "e");
    if (e.mainText().empty() && e.detailText().empty()) progress->MessageEx((std::string(e.what()) + "\n").c_str(), "e");
}

std::string baseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

HRESULT writeImage(const TalloryIsoRequest& r, IConvProgress* progress) {
    if (r.size < sizeof(TalloryIsoRequest) || r.output == nullptr || r.output[0] == '\0' ||
        (r.pathCount > 0 && r.paths == nullptr)) {
        return E_INVALIDARG;
    }
    std::string label = r.volumeLabel ? r.volumeLabel : "";
    if (label.size() > kMaxVolumeLabel) {
        if (progress) {
            progress->MessageEx(("The volume label \"" + label + "\" has " + std::to_string(label.size()) +
                                 " characters; a label holds at most 32\n").c_str(), "e");
        }
        return E_INVALIDARG;
    }
    IsoTreeOptions treeOptions{(r.flags & TALLORY_ISO_KEEP_CASE) != 0};
    IsoImageOptions options;
    options.volumeLabel = label;
    options.joliet = (r.flags & TALLORY_ISO_JOLIET) != 0;
    options.runOut = false;  // a file needs neither the track minimum nor run-out blocks
    options.minimumSectors = 0;
    options.capacity = kImageFileCapacity;
    if (r.bootImage != nullptr && r.bootImage[0] != '\0') {
        options.bootImage = r.bootImage;
        options.bootEmulation = r.bootEmulation;
        options.bootLoadSegment = r.bootLoadSegment;
        options.bootSectorCount = r.bootSectorCount == 0 ? 4 : r.bootSectorCount;
    }
    try {
        IsoTree tree;
        for (uint32_t i = 0; i < r.pathCount; ++i) {
            if (r.paths[i] == nullptr) return E_INVALIDARG;
            std::string path = r.paths[i];
            struct stat st{};
            if (::stat(path.c_str(), &st) != 0) throw EngineError::make(kErrBadPath, path.c_str());
            if (S_ISDIR(st.st_mode) && (r.flags & TALLORY_ISO_CONTENTS_AT_ROOT)) {
                tree.addContents(tree.root(), path, treeOptions);
            } else {
                tree.addPath(tree.root(), path, baseName(path), treeOptions);
            }
        }
        IsoImage image(tree, options);
        const IsoLayout& layout = image.layOut();

        struct stat out{};
        if (::stat(r.output, &out) == 0) {
            if (S_ISDIR(out.st_mode)) throw EngineError::make(kErrCreateFile, r.output);
            if (progress == nullptr || progress->ConfirmOverwrite(r.output) == 0) {
                if (progress) progress->MessageEx((std::string("\"") + r.output + "\" exists; not replaced\n").c_str(), "e");
                return E_ABORT;
            }
        }
        IsoFileSink sink(r.output);
        if (progress) {
            progress->SetAction("Writing image:");
            progress->SetRange(layout.trackLength);
        }
        std::atomic<bool> stop{false};
        IsoProgressEvent events = [progress, &stop](int event, uint32_t sectors, const std::string* path) {
            if (progress == nullptr) return;
            if (event == 30) {
                progress->Advance(sectors);
                if (progress->IsCancelled()) stop = true;
            } else if (event == 35 && path != nullptr) {
                progress->SetItem(path->c_str(), 1);
            }
        };
        image.write(sink, events, &stop);
        sink.commit();
        if (progress) progress->SetPos(layout.trackLength);
        return S_OK;
    } catch (const EngineError& e) {
        if (e.code() == kErrUserAbort) {
            if (progress) progress->MessageEx("User aborted operation!\n", "e");
            return E_ABORT;
        }
        reportError(progress, e);
        return E_FAIL;
    }
}

}  // namespace

}  // namespace tallory::cd::recording

extern "C" TALLORY_API HRESULT TalloryWriteIsoImage(const TalloryIsoRequest* request,
                                                    IConvProgress* progress) noexcept {
    return tallory::core::guardExport(
        "TalloryWriteIsoImage", E_FAIL,
        [&]() -> HRESULT {
            if (request == nullptr) return E_INVALIDARG;
            return tallory::cd::recording::writeImage(*request, progress);
        },
        progress);
}
