// The batch progress window: two bars, speed, elapsed time, the item count, a
// colour-coded message log with links, the overwrite question, and a details
// area that collapses.
#ifndef TALLORY_UI_BATCH_PROGRESS_WINDOW_H
#define TALLORY_UI_BATCH_PROGRESS_WINDOW_H

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTextCharFormat>
#include <QTimer>

#include <atomic>
#include <vector>

#include "tallory/conv.h"
#include "ui/gui_thread.h"
#include "ui/ui_helpers.h"

class QFrame;
class QLabel;
class QPushButton;
class QTextBrowser;
class QUrl;

namespace tallory::ui {

class BatchProgressWindow;

class BatchProgressDialog : public QDialog {
public:
    BatchProgressDialog(QWidget* parent, BatchProgressWindow& owner);
    ~BatchProgressDialog() override;

    QLabel* action = nullptr;
    ElidedLabel* item = nullptr;
    QProgressBar* currentBar = nullptr;
    QProgressBar* totalBar = nullptr;
    QLabel* speed = nullptr;
    QLabel* elapsed = nullptr;
    QPushButton* close = nullptr;
    QPushButton* abort = nullptr;
    QPushButton* details = nullptr;
    QWidget* detailsArea = nullptr;
    QFrame* separator = nullptr;
    QTextBrowser* log = nullptr;
    QLabel* converted = nullptr;
    QTimer timer;
    QElapsedTimer clock;

    bool detailsShown() const { return detailsShown_; }
    int collapsedHeight() const { return collapsedHeight_; }
    int fullHeight() const { return fullHeight_; }
    // Called once the dialog has its layout: measures and applies the details state.
    void initialise(bool detailsShown);
    void toggleDetails();

protected:
    void reject() override;  // Escape: Close when enabled, else Abort
    void closeEvent(QCloseEvent* event) override;

private:
    void tick();
    void applyDetails();
    BatchProgressWindow& owner_;
    bool detailsShown_ = true;
    QSize fullSize_;
    int fullHeight_ = 0;
    int collapsedHeight_ = 0;
};

class BatchProgressWindow final : public IConvBatchProgress {
public:
    BatchProgressWindow();
    ~BatchProgressWindow();

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
    HWND GetWindow() override;
    HWND GetItemControl() override;
    void Create(HWND parent) override;
    void Finish() override;
    void Show() override;
    void StartBatch(IConvSource** sources, IConvTarget** targets, bool twoPasses, int count) override;
    void NextItem() override;

    // The window's side, on its own thread.
    void userAbort();
    void userClose();
    void openLink(const QUrl& url);
    BatchProgressDialog* dialog() const { return dialog_; }

    // For tests: the batch arithmetic.
    uint64_t scale() const { return scale_; }
    uint64_t done() const { return done_; }
    uint64_t totalBytes() const { return total_; }
    uint32_t rememberedRange() const { return bar_.total(); }
    uint32_t rememberedPosition() const { return bar_.position(); }

private:
    struct Item {
        CLSID source{};
        CLSID target{};
        uint64_t length = 0;
    };
    int confirmOnOwnThread(const QString& path);
    void appendLog(const QString& text, const QString& kinds);
    void refreshTotal();
    void refreshConverted();

    GuiThread gui_;
    std::atomic<bool> cancelled_{false};
    std::atomic<QWidget*> window_{nullptr};
    std::atomic<QWidget*> itemControl_{nullptr};
    QPointer<BatchProgressDialog> dialog_;
    QPointer<QWidget> parent_;
    QMetaObject::Connection watch_;  // clears the handles when the dialog goes

    // Everything below is touched on the window's thread only.
    bool alwaysOverwrite_ = false;
    bool neverOverwrite_ = false;
    bool detailsShown_ = true;
    BarModel bar_;
    std::vector<Item> items_;
    int index_ = 0;
    uint64_t scale_ = 1;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
    uint64_t endOfItem_ = 0;
    uint64_t readMs_ = 0, readBytes_ = 0, writeMs_ = 0, writeBytes_ = 0;
    QTextCharFormat logFormat_;  // the format in force at the end of the log
    bool finished_ = false;
};

}  // namespace tallory::ui

#endif
