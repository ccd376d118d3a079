// The batch progress without a UI module: the log goes to standard error
// (coloured by kind on a terminal, with a progress line), overwrite questions
// are asked on the terminal. An interrupt (Ctrl-C, SIGTERM, SIGHUP) stops the
// batch after the files being converted; a second one cancels those as well.
#ifndef TALLORY_CORE_CONSOLE_BATCH_PROGRESS_H
#define TALLORY_CORE_CONSOLE_BATCH_PROGRESS_H

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tallory/batch.h"
#include "tallory/conv.h"

namespace tallory::core {

class ConsoleBatchProgress final : public IConvBatchProgress {
public:
    // overwrite is a BATCH_OVERWRITE_* answer; quiet prints errors only.
    ConsoleBatchProgress(std::FILE* out, int overwrite, bool quiet);

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
    void Destroy() override;
    void Cancel() override;
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    // Catches Ctrl-C until Destroy.
    void Create(HWND parent) override;
    void Finish() override;
    void Show() override {}
    void StartBatch(IConvSource** sources, IConvTarget** targets, bool twoPasses, int count) override;
    void NextItem() override;
    // True once the batch should start no further item: cancelled, or interrupted once.
    bool stopRequested();

private:
    ~ConsoleBatchProgress() = default;
    void drawLine(bool force);
    void clearLine();

    std::mutex mutex_;
    std::FILE* out_;
    int overwrite_;
    bool quiet_;
    bool terminal_;
    std::atomic<bool> cancelled_{false};
    static constexpr size_t kSignalCount = 3;
    bool signalInstalled_[kSignalCount] = {};
    struct sigaction previousActions_[kSignalCount] = {};
    std::atomic<bool> singleItem_{true};
    std::atomic<bool> stopAnnounced_{false};
    bool atLineStart_ = true;
    bool lineShown_ = false;
    bool lineEnabled_ = true;
    std::string action_ = "Converting:";
    std::string item_;
    std::vector<uint64_t> lengths_;
    int count_ = 0, index_ = 0;
    uint64_t total_ = 0, done_ = 0, itemEnd_ = 0;
    uint32_t range_ = 0, position_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tallory::core

#endif
