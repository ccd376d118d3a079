// An IConvProgress that records what it is told, for tests.
#ifndef TALLORY_TESTS_RECORDING_PROGRESS_H
#define TALLORY_TESTS_RECORDING_PROGRESS_H

#include <string>
#include <vector>

#include "tallory/conv.h"

struct RecordedMessage {
    std::string text;
    std::string kinds;
};

class RecordingProgress : public IConvProgress {
public:
    int overwriteAnswer = 0;
    std::vector<std::string> overwriteQuestions;
    std::vector<RecordedMessage> messages;
    bool cancelled = false;
    uint32_t range = 0, position = 0;

    int ConfirmOverwrite(const char* path) override {
        overwriteQuestions.emplace_back(path);
        return overwriteAnswer;
    }
    void Message(const char* text) override { MessageEx(text, ""); }
    void MessageEx(const char* text, const char* kinds) override { messages.push_back({text, kinds}); }
    void SetRange(uint32_t total) override { range = total; }
    void SetPos(uint32_t p) override { position = p; }
    void Advance(uint32_t delta) override { position += delta; }
    void SetAction(const char*) override {}
    int IsCancelled() override { return cancelled ? 1 : 0; }
    void SetItem(const char*, int) override {}
    void Throughput(const CLSID&, int, uint32_t, uint32_t) override {}
    void Destroy() override {}
    void Cancel() override { cancelled = true; }
    HWND GetWindow() override { return nullptr; }
    HWND GetItemControl() override { return nullptr; }
    void Create(HWND) override {}
    void Finish() override {}

    std::string lastText() const { return messages.empty() ? std::string() : messages.back().text; }
};

#endif
