// TalloryWriteIsoImage and TalloryVerifyIsoImage: the ISO9660 writer into an
// image file, and the image read back and compared with its sources.
#include "tallory/iso_image.h"

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_verify.h"
#include "cd/recording/iso_file_sink.h"
#include "cd/recording/iso_verify_report.h"
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

// The request's checks that need no file system.
HRESULT checkRequest(const TalloryIsoRequest& r, IConvProgress* progress) {
    if (r.size < sizeof(TalloryIsoRequest) || r.output == nullptr || r.output[0] == '\0' ||
        (r.pathCount > 0 && r.paths == nullptr)) {
        return E_INVALIDARG;
    }
    for (uint32_t i = 0; i < r.pathCount; ++i) {
        if (r.paths[i] == nullptr) return E_INVALIDARG;
    }
    std::string label = r.volumeLabel ? r.volumeLabel : "";
    if (label.size() > kMaxVolumeLabel) {
        if (progress) {
            progress->MessageEx(("The volume label \"" + label + "\" has " + std::to_string(label.size()) +
                                 " characters; a label holds at most 32\n").c_str(), "e");
        }
        return E_INVALIDARG;
    }
    return S_OK;
}

// The tree of the request's items. Writing and verifying both build it, so
// that a verify names every file as the writer did. Throws EngineError.
void buildTree(const TalloryIsoRequest& r, IsoTree& tree) {
    IsoTreeOptions treeOptions{(r.flags & TALLORY_ISO_KEEP_CASE) != 0};
    for (uint32_t i = 0; i < r.pathCount; ++i) {
        std::string path = r.paths[i];
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) throw EngineError::make(kErrBadPath, path.c_str());
        if (S_ISDIR(st.st_mode) && (r.flags & TALLORY_ISO_CONTENTS_AT_ROOT)) {
            tree.addContents(tree.root(), path, treeOptions);
        } else {
            tree.addPath(tree.root(), path, baseName(path), treeOptions);
        }
    }
}

HRESULT writeImage(const TalloryIsoRequest& r, IConvProgress* progress) {
    if (HRESULT hr = checkRequest(r, progress); hr != S_OK) return hr;
    IsoImageOptions options;
    options.volumeLabel = r.volumeLabel ? r.volumeLabel : "";
    options.joliet = (r.flags & TALLORY_ISO_JOLIET) != 0;
    options.runOut = false;  // a file needs neither the track minimum nor run-out blocks
    options.minimumSectors = 0;
    options.capacity = kImageFileCapacity;
    // A file is no recorder: large writes and reads, so that the system calls do not count.
    options.transferSize = kImageFileTransferSize;
    options.readPieceSectors = kImageFileTransferSize / kIsoSectorSize;
    if (r.bootImage != nullptr && r.bootImage[0] != '\0') {
        options.bootImage = r.bootImage;
        options.bootEmulation = r.bootEmulation;
        options.bootLoadSegment = r.bootLoadSegment;
        options.bootSectorCount = r.bootSectorCount == 0 ? 4 : r.bootSectorCount;
    }
    try {
        IsoTree tree;
        buildTree(r, tree);
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
        // A full file system is reported before a sector is written.
        sink.reserve(static_cast<uint64_t>(layout.trackLength) * kIsoSectorSize);
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

HRESULT verifyImage(const TalloryIsoRequest& r, IConvProgress* progress) {
    if (HRESULT hr = checkRequest(r, progress); hr != S_OK) return hr;
    auto report = [progress](const std::string& text, const char* kinds) {
        if (progress) progress->MessageEx((text + "\n").c_str(), kinds);
    };
    std::vector<IsoExpectedFile> expected;
    try {
        IsoTree tree;
        buildTree(r, tree);
        expected = expectedFilesOf(tree, (r.flags & TALLORY_ISO_JOLIET) != 0);
    } catch (const EngineError& e) {
        reportError(progress, e);
        return E_FAIL;
    }
    IsoFileReader reader;
    std::string why;
    if (!reader.open(r.output, &why)) {
        report("Cannot read the image \"" + std::string(r.output) + "\": " + why, "e");
        return E_FAIL;
    }
    IsoReadOptions options;
    options.endSector = reader.sectors();
    std::atomic<bool> stop{false};
    IsoVerifyBar bar(progress, stop);
    IsoVerifyResult result = verifyIsoImage(reader.blockReader(), expected, options, bar.events(), &stop);
    if (result.identical()) bar.complete();
    return reportIsoVerify(result, expected.size(), "the image", "The image \"" + std::string(r.output) + "\"",
                           progress);
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

extern "C" TALLORY_API HRESULT TalloryVerifyIsoImage(const TalloryIsoRequest* request,
                                                     IConvProgress* progress) noexcept {
    return tallory::core::guardExport(
        "TalloryVerifyIsoImage", E_FAIL,
        [&]() -> HRESULT {
            if (request == nullptr) return E_INVALIDARG;
            return tallory::cd::recording::verifyImage(*request, progress);
        },
        progress);
}
