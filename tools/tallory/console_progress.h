// The command line's progress callback: a progress bar and coloured messages
// on a terminal, plain lines otherwise.
#ifndef TALLORY_TOOLS_CONSOLE_PROGRESS_H
#define TALLORY_TOOLS_CONSOLE_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "tallory/conv.h"

namespace tallory::cli {

enum class OverwriteKind { Ask, Always, Never };

class ConsoleProgress : public IConvProgress {
public:
    ConsoleProgress(OverwriteKind overwrite, bool quiet);
    virtual ~ConsoleProgress() = default;

    int ConfirmOverwrite(const char* path) override;
    void Message(const char* text) override;
    void MessageEx(const char* text, const char* kinds) override;
    void SetRange(uint32_t total) override;
    void SetPos(uint32_t position) override;
    void Advance(uint32_t delta) override;
    void SetAction(const char* text) override;
    int IsCancelled() override;
    void SetItem(const char* text, int isPath) override;
    void Throughput(const CLSID& classId, int isRead, uint32_t bytes, uint32_t milliseconds) override;
    void Destroy() override {}
    void Cancel() override;
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override;

    // The tempo the engine reported, 0 if none.
    double tempo() const { return tempo_; }
    // Makes Ctrl-C (SIGINT), SIGTERM and SIGHUP ask every running conversion to stop.
    static void installInterruptHandler();

private:
    void drawBar(bool force);
    void clearBar();

    std::mutex mutex_;
    OverwriteKind overwrite_;
    bool quiet_;
    bool terminal_;
    std::string action_ = "Converting:";
    std::string item_;
    uint32_t total_ = 0;
    uint32_t position_ = 0;
    uint64_t done_ = 0;  // bytes over every pass, for the speed
    bool barShown_ = false;
    double tempo_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tallory::cli

#endif
