// tallory cd: the CD drives, a disc's table of contents, and ripping tracks
// through BatchConvertEx. --image uses a cue/bin image as the drive.
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "object_helpers.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

struct CdArgs {
    std::string device;
    std::vector<std::string> images;
    std::string tracks;
    std::string format;
    std::string scheme = "<artist>/<album>/<tracknum> <title>";
    bool secure = false;
    bool offsetGiven = false;
    int offset = 0;
    int jobs = 1;
    std::string log;
    bool overwrite = false;
    int match = 0;  // 1-based, 0: ask on a terminal
};

std::string msf(uint32_t sectors) {
    char t[32];
    std::snprintf(t, sizeof t, "%02u:%02u.%02u", sectors / 4500, sectors / 75 % 60, sectors % 75);
    return t;
}

// The collection, with --image drives put in place first. Empty with a
// message printed on failure.
bool openDrives(const CdArgs& a, Ref<ICDDrives>& drives) {
    if (!a.images.empty()) {
        std::vector<const char*> paths;
        for (const auto& p : a.images) paths.push_back(p.c_str());
        char why[1024] = "";
        if (FAILED(CDUseImageDrives(paths.data(), int(paths.size()), why, sizeof why))) {
            fail(std::string("cannot use the image: ") + why);
            return false;
        }
    }
    if (FAILED(CreateAudioCDDevices(drives.out()))) {
        fail("cannot list the CD drives");
        return false;
    }
    char error[TALLORY_MAX_PATH];
    if (drives->GetInitError(error) != S_OK) {
        fail(error);
        return false;
    }
    return true;
}

// The drive named by DEVICE (its node, an image path, or its index), else the first.
bool pickDrive(const CdArgs& a, ICDDrives* drives, Ref<ICDDrive>& drive) {
    const int n = drives->CountDrives(0);
    if (n == 0) {
        fail("no CD drive found");
        return false;
    }
    const std::string want = !a.device.empty() ? a.device : (a.images.empty() ? "" : a.images.front());
    for (int i = 0; i < n; ++i) {
        char desc[TALLORY_MAX_PATH * 2];
        drives->GetDriveDescription(i, desc, sizeof desc);
        const std::string d = desc;
        const bool named = d.size() > want.size() + 2 && d.compare(d.size() - want.size() - 1, want.size(), want) == 0;
        if (want.empty() || named || want == std::to_string(i)) {
            drives->GetDrive(i, drive.out());
            return true;
        }
    }
    fail("no CD drive " + want);
    return false;
}

// "1,3-5" into track numbers; empty text: all of `all`.
bool parseTracks(const std::string& text, const std::vector<int>& all, std::vector<int>& out) {
    if (text.empty()) {
        out = all;
        return true;
    }
    std::stringstream s(text);
    std::string part;
    while (std::getline(s, part, ',')) {
        const std::size_t dash = part.find('-');
        try {
            const int a = std::stoi(part.substr(0, dash));
            const int b = dash == std::string::npos ? a : std::stoi(part.substr(dash + 1));
            if (a < 1 || b > 99 || a > b) return false;
            for (int t = a; t <= b; ++t) out.push_back(t);
        } catch (...) {
            return false;
        }
    }
    return !out.empty();
}

int runDrives(const CdArgs& a) {
    Ref<ICDDrives> drives;
    if (!openDrives(a, drives)) return kExitFailed;
    const int n = drives->CountDrives(0);
    for (int i = 0; i < n; ++i) {
        char desc[TALLORY_MAX_PATH * 2];
        drives->GetDriveDescription(i, desc, sizeof desc);
        const int caps = drives->GetDriveCapabilities(i);
        std::printf("%d  %s%s%s%s%s\n", i, desc, caps & CD_CAPABILITY_READS_AUDIO ? "  reads audio" : "",
                    caps & CD_CAPABILITY_RECORDS ? ", records" : "", caps & CD_CAPABILITY_BUFFER_UNDERRUN ? ", buffer-underrun protection" : "",
                    caps & CD_CAPABILITY_CD_TEXT ? ", CD-TEXT" : "");
    }
    if (n == 0) std::printf("no CD drive found\n");
    return kExitOk;
}

int runToc(const CdArgs& a) {
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive;
    if (!openDrives(a, drives) || !pickDrive(a, drives.get(), drive)) return kExitFailed;
    if (FAILED(drive->RefreshTOC())) return fail("cannot read the table of contents (no disc?)");
    const uint32_t* layout = drive->GetDiscLayout();
    if (layout == nullptr) return fail("the disc has no tracks");
    int audio = 0;
    drive->GetTrackCount(&audio);
    std::vector<CDTrackRecord> records;
    for (int i = 0; i < audio; ++i) {
        Ref<ICDTrack> t;
        if (SUCCEEDED(drive->OpenTrack(i, t.out()))) {
            CDTrackRecord r{};
            t->GetTrackRecord(&r);
            records.push_back(r);
        }
    }
    std::printf("track  start    length    type\n");
    const uint32_t count = layout[0];
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = layout[1 + i];
        const CDTrackRecord* r = nullptr;
        for (const auto& rec : records)
            if (rec.startSector == start) r = &rec;
        const uint32_t len = r != nullptr ? r->lengthSectors : layout[2 + i] - start;
        std::printf("%5u  %7u  %s  %s\n", r != nullptr ? r->trackNumber : i + 1, start, msf(len).c_str(),
                    r != nullptr ? "audio" : "data");
    }
    std::printf("lead-out %u (%s)\n", layout[1 + count], msf(layout[1 + count]).c_str());
    uint32_t id1 = 0, id2 = 0, freedb = 0;
    int n = 0;
    CDGetAccurateRipIds(drive.get(), &id1, &id2, &freedb, &n);
    std::printf("freedb disc id %08x\nAccurateRip disc id %03d-%08x-%08x-%08x\n", drive->GetDiscId(), n, id1, id2, freedb);
    return kExitOk;
}

int runRip(const CdArgs& a) {
    FormatInfo info{};
    std::string error;
    if (!findFormat(a.format, info, error)) return fail(error);
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive;
    if (!openDrives(a, drives) || !pickDrive(a, drives.get(), drive)) return kExitFailed;
    if (FAILED(drive->RefreshTOC())) return fail("cannot read the table of contents (no disc?)");
    int audio = 0;
    drive->GetTrackCount(&audio);
    std::vector<int> all;
    std::vector<CDTrackRecord> records;
    for (int i = 0; i < audio; ++i) {
        Ref<ICDTrack> t;
        drive->OpenTrack(i, t.out());
        CDTrackRecord r{};
        t->GetTrackRecord(&r);
        records.push_back(r);
        all.push_back(r.trackNumber);
    }
    std::vector<int> wanted;
    if (!parseTracks(a.tracks, all, wanted)) {
        std::fprintf(stderr, "tallory: --tracks takes numbers and ranges such as 1,3-5\n");
        return kExitUsage;
    }
    CDReadOptions ro{sizeof(CDReadOptions), a.secure ? 1 : 0, a.offsetGiven ? 1 : 0, a.offset};
    CDSetReadOptions(&ro);
    std::vector<std::unique_ptr<Ref<IConvSource>>> sources;
    std::vector<std::unique_ptr<Ref<IConvTarget>>> targets;
    std::vector<BatchItem> items;
    for (int number : wanted) {
        int index = -1;
        for (std::size_t i = 0; i < records.size(); ++i)
            if (records[i].trackNumber == number) index = int(i);
        if (index < 0) return fail("the disc has no audio track " + std::to_string(number));
        Ref<ICDTrack> track;
        if (FAILED(drive->OpenTrack(index, track.out()))) return fail("cannot open track " + std::to_string(number));
        auto source = std::make_unique<Ref<IConvSource>>();
        track->QueryInterface(IID_IConvSource, reinterpret_cast<void**>(source->out()));
        auto target = std::make_unique<Ref<IConvTarget>>(createTargetFor(info, error));
        if (!*target) return fail(error);
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s", a.scheme.c_str());
        item.startMs = -1;
        item.endMs = -1;
        item.source = source->get();
        item.target = target->get();
        items.push_back(item);
        sources.push_back(std::move(source));
        targets.push_back(std::move(target));
    }
    items.push_back(BatchItem{});
    BatchOptions options{sizeof(BatchOptions), a.jobs, a.overwrite ? BATCH_OVERWRITE_ALWAYS : BATCH_OVERWRITE_ASK, 0};
    BatchResult result{};
    const HRESULT hr = BatchConvertEx(items.data(), nullptr, 0, 0, &options, &result);
    // The rip log: per track the AccurateRip checksums and what secure reading found.
    uint32_t id1 = 0, id2 = 0, freedb = 0;
    int n = 0;
    CDGetAccurateRipIds(drive.get(), &id1, &id2, &freedb, &n);
    std::ostringstream log;
    char line[512];
    std::snprintf(line, sizeof line, "AccurateRip disc id %03d-%08x-%08x-%08x\n", n, id1, id2, freedb);
    log << line;
    bool allAccurate = true;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        CDRipReport r{};
        r.size = sizeof r;
        char out[TALLORY_MAX_PATH] = "";
        targets[i]->get()->GetPath(out, sizeof out);
        if (FAILED(CDGetRipReport(sources[i]->get(), &r))) {
            std::snprintf(line, sizeof line, "Track %02d  not read\n", wanted[i]);
            allAccurate = false;
        } else {
            const char* state = !r.secure ? "read once"
                                : r.accurate ? "accurate"
                                             : "not accurate";
            if (!r.accurate) allAccurate = false;
            std::snprintf(line, sizeof line,
                          "Track %02d  AccurateRip v1 %08x  v2 %08x  offset %+d  %s%s  %s\n", r.trackNumber,
                          r.accurateRipV1, r.accurateRipV2, r.readOffset, state,
                          r.silencedSectors ? "  (sectors replaced by silence)" : "", out);
        }
        log << line;
    }
    std::fputs(log.str().c_str(), stdout);
    std::string logPath = a.log;
    if (logPath.empty() && !targets.empty()) {
        char out[TALLORY_MAX_PATH] = "";
        if (targets[0]->get()->GetPath(out, sizeof out)) {
            std::string p = out;
            const std::size_t slash = p.rfind('/');
            logPath = (slash == std::string::npos ? std::string(".") : p.substr(0, slash)) + "/rip.log";
        }
    }
    if (!logPath.empty()) {
        std::ofstream f(logPath);
        f << log.str();
        if (!f) std::fprintf(stderr, "tallory: cannot write the rip log %s\n", logPath.c_str());
    }
    if (hr == E_ABORT) return fail("cancelled");
    (void)allAccurate;
    return hr == S_OK && result.failed == 0 ? kExitOk : kExitFailed;
}

// Reports a lookup on the terminal and waits for it to end.
class LookupCallback final : public ICDDBCallback {
public:
    explicit LookupCallback(int match) : match_(match) {}
    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override { return --refs_; }
    void Reserved() override {}
    int ShowStatus(const char* text) override {
        if (text != nullptr && *text != 0) std::fprintf(stderr, "%s\n", text);
        return 0;
    }
    int ChooseMatch(const CDDBMatch* matches, int count, int* index) override {
        for (int i = 0; i < count; ++i)
            std::printf("%d  %s  %s  %s / %s%s\n", i + 1, matches[i].category, matches[i].discId, matches[i].artist,
                        matches[i].title, matches[i].exact ? "" : "  (inexact)");
        int pick = match_;
        if (pick == 0 && isatty(STDIN_FILENO)) {
            std::printf("Which one (1-%d, empty to cancel)? ", count);
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
            try {
                pick = line.empty() ? 0 : std::stoi(line);
            } catch (...) {
                pick = 0;
            }
        } else if (pick == 0) {
            std::fprintf(stderr, "tallory: %d matches; choose one with --match N\n", count);
        }
        if (pick < 1 || pick > count) return *index = -1;
        return *index = pick - 1;
    }
    void Finished(bool success) override {
        std::lock_guard l(m_);
        ok_ = success;
        done_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock l(m_);
        cv_.wait(l, [&] { return done_; });
        l.unlock();
        while (refs_.load() != 1) std::this_thread::yield();  // the lookup thread's reference
        return ok_;
    }

private:
    int match_;
    std::atomic<uint32_t> refs_{1};
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    bool ok_ = false;
};

int runLookup(const CdArgs& a) {
    Ref<ICDDrives> drives;
    Ref<ICDDrive> drive;
    if (!openDrives(a, drives) || !pickDrive(a, drives.get(), drive)) return kExitFailed;
    if (FAILED(drive->RefreshTOC())) return fail("cannot read the table of contents (no disc?)");
    LookupCallback cb(a.match);
    if (FAILED(drive->LookupCDDB(&cb))) return fail("cannot start the CDDB lookup");
    if (!cb.wait()) return fail("no CDDB information for this disc");
    char buf[TALLORY_MAX_PATH * 4];
    auto show = [&](const char* label, bool (ICDDrive::*get)(char*, int)) {
        if ((drive.get()->*get)(buf, sizeof buf)) std::printf("%-9s%s\n", label, buf);
    };
    show("Artist", &ICDDrive::GetArtist);
    show("Title", &ICDDrive::GetTitle);
    show("Genre", &ICDDrive::GetGenre);
    show("Category", &ICDDrive::GetCategory);
    int year = -1;
    if (drive->GetYear(&year) && year != -1) std::printf("%-9s%d\n", "Year", year);
    const uint32_t* layout = drive->GetDiscLayout();
    for (uint32_t i = 0; layout != nullptr && i < layout[0]; ++i) {
        if (!drive->GetTrackTitle(int(i), buf, sizeof buf)) continue;
        std::printf("%02u  %s", i + 1, buf);
        if (drive->GetTrackExtra(int(i), buf, sizeof buf)) std::printf("  (%s)", buf);
        std::printf("\n");
    }
    return kExitOk;
}

}  // namespace

void addCdCommand(CLI::App& app, CommandAction& action) {
    static CdArgs args;
    CLI::App* cmd = app.add_subcommand("cd", "CD drives, tables of contents and ripping");
    cmd->require_subcommand(1);
    auto imageOption = [](CLI::App* c) {
        c->add_option("--image", args.images, "Use this cue/bin image as a drive (repeatable)");
    };
    CLI::App* drivesCmd = cmd->add_subcommand("drives", "List the CD drives");
    imageOption(drivesCmd);
    drivesCmd->callback([&] { action = [] { return runDrives(args); }; });
    CLI::App* toc = cmd->add_subcommand("toc", "Print a disc's table of contents and disc ids");
    toc->add_option("DEVICE", args.device, "The drive: /dev/srN, an image, or an index of tallory cd drives");
    imageOption(toc);
    toc->callback([&] { action = [] { return runToc(args); }; });
    CLI::App* rip = cmd->add_subcommand("rip", "Convert audio tracks into files (with album playlists)");
    rip->add_option("DEVICE", args.device, "The drive: /dev/srN, an image, or an index of tallory cd drives");
    imageOption(rip);
    rip->add_option("--tracks", args.tracks, "Tracks to rip, such as 1,3-5 (default: all)");
    rip->add_option("--to", args.format, "Output format: a name (tallory formats) or an extension")->required();
    rip->add_option("--scheme", args.scheme, "Naming scheme of the outputs")->capture_default_str();
    rip->add_flag("--secure", args.secure, "Read everything twice; the log says \"accurate\" only when both reads agree");
    rip->add_option("--offset", args.offset, "The drive's read offset in samples (instead of its model's setting)")
        ->each([](const std::string&) { args.offsetGiven = true; });
    rip->add_option("--jobs", args.jobs, "Convert this many tracks at once")->check(CLI::Range(1, 16));
    rip->add_option("--log", args.log, "Write the rip log here (default: rip.log beside the first output)");
    rip->add_flag("--overwrite", args.overwrite, "Replace existing output files");
    rip->callback([&] { action = [] { return runRip(args); }; });
    CLI::App* lookup = cmd->add_subcommand("lookup", "Look the disc up on the CDDB server (setting AudioCD CDDB_Server)");
    lookup->add_option("DEVICE", args.device, "The drive: /dev/srN, an image, or an index of tallory cd drives");
    imageOption(lookup);
    lookup->add_option("--match", args.match, "Take match N of several (default: ask on a terminal)")->check(CLI::PositiveNumber);
    lookup->callback([&] { action = [] { return runLookup(args); }; });
}

}  // namespace tallory::cli
