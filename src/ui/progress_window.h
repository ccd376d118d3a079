// The simple progress window: an action label, the current item, one bar and
// Abort. It ignores messages and never allows an overwrite.
#ifndef TALLORY_UI_PROGRESS_WINDOW_H
#define TALLORY_UI_PROGRESS_WINDOW_H

#include <QDialog>
#include <QPointer>

#include <atomic>

#include "tallory/conv.h"
#include "ui/gui_thread.h"
#include "ui/ui_helpers.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tallory::ui {

class SimpleProgressDialog : public QDialog {
public:
    SimpleProgressDialog(QWidget* parent, std::atomic<bool>& cancelled);
    QLabel* action = nullptr;
    ElidedLabel* item = nullptr;
    QProgressBar* bar = nullptr;
    QPushButton* abort = nullptr;

protected:
    void reject() override;  // Escape and the close box abort, as the button does
    void closeEvent(QCloseEvent* event) override;

private:
    void onAbort();
    std::atomic<bool>& cancelled_;
};

class SimpleProgressWindow final : public IConvProgress {
public:
    SimpleProgressWindow() = default;
    ~SimpleProgressWindow();

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

    // For tests: the remembered bar values.
    uint32_t rememberedRange() const { return bar_.total(); }
    uint32_t rememberedPosition() const { return bar_.position(); }

private:
    GuiThread gui_;
    std::atomic<bool> cancelled_{false};
    std::atomic<QWidget*> window_{nullptr};
    std::atomic<QWidget*> itemControl_{nullptr};
    QPointer<SimpleProgressDialog> dialog_;
    QPointer<QWidget> parent_;
    BarModel bar_;  // touched on the window's thread only
};

}  // namespace tallory::ui

#endif
