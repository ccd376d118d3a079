// tallory play FILE: preview a file through the sound device, with a position
// line; Ctrl-C stops.
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "commands.h"
#include "object_helpers.h"
#include "tallory/tallory.h"

namespace tallory::cli {

namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) { interrupted = 1; }

// Collects the source's error messages for the failure line.
class SourceErrors : public IConvProgress {
public:
    std::mutex lock;
    std::string text;
    int ConfirmOverwrite(const char*) override { return 0; }
    void Message(const char* t) override { MessageEx(t, ""); }
    void MessageEx(const char* t, const char*) override {
        std::lock_guard<std::mutex> g(lock);
        std::string line = t;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        if (!text.empty()) text += "; ";
        text += line;
    }
    void SetRange(uint32_t) override {}
    void SetPos(uint32_t) override {}
    void Advance(uint32_t) override {}
    void SetAction(const char*) override {}
    int IsCancelled() override { return 0; }
    void SetItem(const char*, int) override {}
    void Throughput(const CLSID&, int, uint32_t, uint32_t) override {}
    void Destroy() override {}
    void Cancel() override {}
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override {}
};

// Error lines of the library's log while playing: a device that cannot be
// opened is reported there, and makes the command fail.
struct PlaybackLog {
    std::mutex lock;
    std::string lines;
    static void handle(void* context, int level, const char* line) {
        auto* self = static_cast<PlaybackLog*>(context);
        if (level != TALLORY_LOG_ERROR) {
            std::fprintf(stderr, "tallory: %s\n", line);
            return;
        }
        std::lock_guard<std::mutex> g(self->lock);
        if (!self->lines.empty()) self->lines += "; ";
        self->lines += line;
    }
};

class PositionLine : public IPlaybackCallback {
public:
    explicit PositionLine(bool quiet) : quiet_(quiet) {}

    HRESULT OnPosition(int cm, int cs, int tm, int ts) override {
        std::lock_guard<std::mutex> g(lock_);
        started_ = true;
        const int now = cm * 60 + cs;
        if (!quiet_ && now != last_) {
            std::printf("\r%d:%02d / %d:%02d", cm, cs, tm, ts);
            std::fflush(stdout);
            printed_ = true;
        }
        last_ = now;
        if (interrupted != 0) {
            stopped_ = true;
            return -1;
        }
        return S_OK;
    }
    void OnFinished() override {
        std::lock_guard<std::mutex> g(lock_);
        finished_ = true;
        done_.notify_all();
    }
    // Waits for the end, asking the player to stop once Ctrl-C came.
    void wait() {
        std::unique_lock<std::mutex> g(lock_);
        done_.wait(g, [this] { return finished_; });
        if (printed_) std::printf("\n");
    }
    bool started() {
        std::lock_guard<std::mutex> g(lock_);
        return started_;
    }
    bool stopped() {
        std::lock_guard<std::mutex> g(lock_);
        return stopped_;
    }

private:
    bool quiet_;
    std::mutex lock_;
    std::condition_variable done_;
    int last_ = -1;
    bool started_ = false, finished_ = false, printed_ = false, stopped_ = false;
};

int play(const std::string& path, const std::string& device, bool quiet) {
    if (!device.empty()) ::setenv("TALLORY_AUDIO_DEVICE", device.c_str(), 1);
    std::string why;
    Ref<IConvSource> source(createSourceFor(path, why));
    if (!source) return fail(why);
    SourceErrors errors;
    source->SetProgress(&errors);
    if (!source->SetPath(path.c_str())) return fail(path + ": bad path");
    PositionLine line(quiet);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ::sigaction(SIGINT, &action, &previous);
    PlaybackLog log;
    TalloryLogSetHandler(&PlaybackLog::handle, &log);
    const bool started = Playback(source.get(), &line) != 0;
    if (started) line.wait();
    TalloryLogSetHandler(nullptr, nullptr);
    ::sigaction(SIGINT, &previous, nullptr);
    source->SetProgress(nullptr);
    if (!started) return fail(path + ": the playback thread could not be started");
    if (!line.started()) {
        std::lock_guard<std::mutex> g(errors.lock);
        return fail(path + ": " + (errors.text.empty() ? std::string("cannot be played") : errors.text));
    }
    {
        std::lock_guard<std::mutex> g(log.lock);
        if (!log.lines.empty()) return fail(path + ": " + log.lines);
    }
    if (line.stopped()) std::printf("stopped\n");
    return kExitOk;
}

}  // namespace

void addPlayCommand(CLI::App& app, CommandAction& action) {
    struct Args {
        std::string path, device;
        bool quiet = false;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = app.add_subcommand("play", "Play a file through the sound device (Ctrl-C stops)");
    cmd->add_option("FILE", args->path, "The file to play")->required();
    cmd->add_option("--device", args->device, "ALSA device (default: $TALLORY_AUDIO_DEVICE, else \"default\")");
    cmd->add_flag("-q,--quiet", args->quiet, "No position line");
    cmd->callback([&action, args] { action = [args] { return play(args->path, args->device, args->quiet); }; });
}

}  // namespace tallory::cli
