// Shared pieces of the Qt module tests: the offscreen application, answering
// modal dialogs as they appear, screenshots, and a source of a given length.
#ifndef TALLORY_TESTS_UI_UI_TEST_SUPPORT_H
#define TALLORY_TESTS_UI_UI_TEST_SUPPORT_H

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>

#include "tallory/conv.h"

// Calls `answer` with the first modal widget (or active popup dialog) that
// opens within `timeoutMs`, from the event loop; the dialog's own loop keeps running.
inline void whenModal(std::function<void(QWidget*)> answer, int timeoutMs = 10000) {
    auto* timer = new QTimer();
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(timer, &QTimer::timeout, [timer, answer, started, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        } else if (started->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(20);
}

// Processes events until `done` or the time is up; true when done.
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Saves a picture of the widget under the build's screenshots folder.
inline void screenshot(QWidget* w, const QString& name) {
    const char* dir = std::getenv("TALLORY_SCREENSHOTS");
    if (dir == nullptr || w == nullptr) return;
    QDir().mkpath(dir);
    w->grab().save(QDir(dir).filePath(name + ".png"));
}

// A source whose only use is its length, for the batch arithmetic.
class LengthSource final : public IConvSource {
public:
    explicit LengthSource(uint32_t length, bool opens = true) : length_(length), opens_(opens) {}
    HRESULT QueryInterface(const IID&, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override { return --refs_; }
    bool SetPath(const char*) override { return true; }
    bool GetPath(char* b, int c) override {
        if (c > 0) b[0] = '\0';
        return false;
    }
    bool GetClassId(CLSID* id) override {
        *id = CLSID_WavSource;
        return true;
    }
    bool GetFileName(char*, int) override { return false; }
    bool GetDirectory(char*, int) override { return false; }
    bool Open() override {
        openCount++;
        return opens_;
    }
    bool SetStartTime(int) override { return true; }
    bool Run(IConvSink*) override { return false; }
    bool Close() override {
        closeCount++;
        return true;
    }
    bool GetTag(IMetadataFile**) override { return false; }
    bool GetLength(uint32_t* bytes, int, int) override {
        *bytes = length_;
        return true;
    }
    bool GetFormat(WAVEFORMATEX*) override { return false; }
    void SetProgress(IConvProgress*) override {}
    int openCount = 0, closeCount = 0;

private:
    uint32_t length_;
    bool opens_;
    std::atomic<uint32_t> refs_{1};
};

#endif
