#include "cd/recording/data_burn.h"

#include <sys/stat.h>

#include <atomic>

#include "cd/engine/engine_error.h"
#include "cd/engine/iso_image.h"
#include "cd/engine/iso_tree.h"
#include "cd/engine/tao_writer.h"
#include "core/export_guard.h"

namespace tallory::cd::recording {

namespace {

using namespace engine;

// ISO 9660 8.4.6: the volume identifier field holds 32 characters.
constexpr std::size_t kMaxVolumeLabel = 32;

std::string baseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void reportError(IConvProgress* progress, const EngineError& e) {
    if (progress == nullptr) return;
    if (!e.mainText().empty()) progress->MessageEx((e.mainText() + "\n").c_str(), "e");
    if (!e.detailText().empty()) progress->MessageEx((e.detailText() + "\n").c_str(), "e");
    if (e.mainText().empty() && e.detailText().empty()) progress->MessageEx((std::string(e.what()) + "\n").c_str(), "e");
}

HRESULT burn(platform::scsi::ScsiTransport& transport, const DataBurnRequest& r, IConvProgress* progress,
             DataBurnResult* result) {
    if (r.paths.empty()) return E_INVALIDARG;
    if (r.volumeLabel.size() > kMaxVolumeLabel) {
        if (progress) {
            progress->MessageEx(("The volume label \"" + r.volumeLabel + "\" has " + std::to_string(r.volumeLabel.size()) +
                                 " characters; a label holds at most 32\n").c_str(), "e");
        }
        return E_INVALIDARG;
    }
    std::atomic<bool> stop{false};
    auto stopped = [&] {
        if ((r.stop && r.stop->load()) || (progress && progress->IsCancelled() != 0)) stop = true;
        return stop.load();
    };
    try {
        if (progress) {
            progress->SetAction("Recording:");
            progress->SetItem("Preparing...", 0);
        }
        IsoTree tree;
        buildDataTree(r, tree);
        IsoImageOptions options;
        options.volumeLabel = r.volumeLabel;
        options.joliet = r.joliet;
        options.runOut = true;
        options.transferSize = r.transferBytes;
        if (!r.bootImage.empty()) {
            options.bootImage = r.bootImage;
            options.bootEmulation = r.bootEmulation;
            options.bootLoadSegment = r.bootLoadSegment;
            options.bootSectorCount = r.bootSectorCount == 0 ? 4 : r.bootSectorCount;
        }
        if (progress) {
            if (r.testMode) progress->MessageEx("Recording Options: Test mode enabled\n", "i");
            if (r.underrunProtection) progress->MessageEx("Recording Options: BURN-Proof enabled\n", "i");
            progress->Message("Writing the ISO9660 disc using disc-at-once recording...\n");
        }
        std::unique_ptr<IsoImage> image;
        MmcRecorderDrive drive(transport);
        TaoOptions tao;
        tao.testMode = r.testMode;
        tao.underrunProtection = r.underrunProtection;
        tao.transferBytes = r.transferBytes;
        tao.stop = &stop;
        uint32_t done = 0;
        tao.progress = [&](int event, uint32_t sectors) {
            if (event == kEventDataTrackLength && progress) progress->SetRange(sectors);
            stopped();
        };
        TaoProducer producer;
        producer.layOut = [&](uint32_t first, uint32_t capacity) {
            options.firstSector = first;
            options.capacity = capacity;
            image = std::make_unique<IsoImage>(tree, options);
            const IsoLayout& l = image->layOut();
            if (result) {
                result->trackStart = int32_t(first);
                result->trackSectors = l.trackLength;
                result->volumeSectors = l.volumeSpace;
            }
            return l.trackLength;
        };
        producer.produce = [&](IsoSectorSink& sink) {
            image->write(sink, [&](int event, uint32_t sectors, const std::string* path) {
                if (progress == nullptr) return;
                if (event == 30) progress->SetPos(done += sectors);
                if (event == 35 && path) progress->SetItem(path->c_str(), 1);
                stopped();
            }, &stop);
        };
        if (stopped()) throw EngineError::make(kErrUserAbort);
        writeTrackAtOnce(drive, producer, tao);
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

HRESULT burnDataDisc(platform::scsi::ScsiTransport& transport, const DataBurnRequest& request, IConvProgress* progress,
                     DataBurnResult* result) noexcept {
    return core::guardExport("burnDataDisc", E_FAIL, [&] { return burn(transport, request, progress, result); },
                             progress);
}

void buildDataTree(const DataBurnRequest& r, IsoTree& tree) {
    IsoTreeOptions treeOptions{r.keepCase};
    for (const std::string& path : r.paths) {
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) throw EngineError::make(kErrBadPath, path.c_str());
        tree.addPath(tree.root(), path, baseName(path), treeOptions);
    }
}

}  // namespace tallory::cd::recording
