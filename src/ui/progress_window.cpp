#include "ui/progress_window.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

#include "core/export_guard.h"

namespace tallory::ui {

using core::guardExport;
using core::guardExportVoid;

SimpleProgressDialog::SimpleProgressDialog(QWidget* parent, std::atomic<bool>& cancelled)
    : QDialog(parent), cancelled_(cancelled) {
    setWindowTitle(kCaption);
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    action = new QLabel(this);
    item = new ElidedLabel(this);
    bar = new QProgressBar(this);
    bar->setTextVisible(false);
    bar->setRange(0, 1);
    bar->setValue(0);
    abort = new QPushButton(QStringLiteral("&Abort"), this);
    abort->setDefault(true);
    layout->addWidget(action);
    layout->addWidget(item);
    layout->addWidget(bar);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(abort, QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(abort, &QPushButton::clicked, this, [this] { onAbort(); });
    setMinimumWidth(fontMetrics().averageCharWidth() * 50);
}

void SimpleProgressDialog::onAbort() {
    abort->setEnabled(false);
    cancelled_ = true;
}

void SimpleProgressDialog::reject() { onAbort(); }

void SimpleProgressDialog::closeEvent(QCloseEvent* event) {
    // The window goes with Finish; closing it asks the work to stop.
    onAbort();
    event->ignore();
}

SimpleProgressWindow::~SimpleProgressWindow() {
    gui_.shutdown();
    if (parent_ != nullptr) parent_->setEnabled(true);
    delete dialog_.data();
}

int SimpleProgressWindow::ConfirmOverwrite(const char*) { return 0; }
void SimpleProgressWindow::Message(const char*) {}
void SimpleProgressWindow::MessageEx(const char*, const char*) {}

void SimpleProgressWindow::SetRange(uint32_t total) {
    guardExportVoid("IConvProgress::SetRange", [&] {
        gui_.post([this, total] {
            bar_.setRange(total);
            if (dialog_ != nullptr) bar_.applyTo(dialog_->bar);
        });
    });
}

void SimpleProgressWindow::SetPos(uint32_t position) {
    guardExportVoid("IConvProgress::SetPos", [&] {
        gui_.post([this, position] {
            bar_.setPos(position);
            if (dialog_ != nullptr) bar_.applyTo(dialog_->bar);
        });
    });
}

void SimpleProgressWindow::Advance(uint32_t delta) {
    guardExportVoid("IConvProgress::Advance", [&] {
        gui_.post([this, delta] {
            bar_.advance(delta);
            if (dialog_ != nullptr) bar_.applyTo(dialog_->bar);
        });
    });
}

void SimpleProgressWindow::SetAction(const char* text) {
    guardExportVoid("IConvProgress::SetAction", [&] {
        QString t = QString::fromUtf8(text != nullptr ? text : "");
        gui_.post([this, t] {
            if (dialog_ != nullptr) dialog_->action->setText(t);
        });
    });
}

int SimpleProgressWindow::IsCancelled() { return cancelled_.load() ? 1 : 0; }

void SimpleProgressWindow::SetItem(const char* text, int isPath) {
    guardExportVoid("IConvProgress::SetItem", [&] {
        QString t = QString::fromUtf8(text != nullptr ? text : "");
        gui_.post([this, t, isPath] {
            if (dialog_ != nullptr) dialog_->item->setFullText(t, isPath != 0);
        });
    });
}

void SimpleProgressWindow::Throughput(const CLSID&, int, uint32_t, uint32_t) {}

void SimpleProgressWindow::Destroy() { delete this; }

void SimpleProgressWindow::Cancel() { cancelled_ = true; }

HWND SimpleProgressWindow::GetWindow() { return window_.load(); }
HWND SimpleProgressWindow::GetItemControl() { return itemControl_.load(); }

void SimpleProgressWindow::Create(HWND parent) {
    guardExportVoid("IConvProgress::Create", [&] {
        gui_.post([this, parent] {
            if (dialog_ != nullptr) return;
            parent_ = widgetOf(parent);
            // Not a child of the parent: Qt disables child windows with their parent,
            // and Abort must stay usable while the parent is disabled. The window
            // system still keeps it above the parent.
            dialog_ = new SimpleProgressDialog(nullptr, cancelled_);
            if (parent_ != nullptr && parent_->window()->windowHandle() != nullptr) {
                dialog_->winId();
                dialog_->windowHandle()->setTransientParent(parent_->window()->windowHandle());
            }
            dialog_->setAttribute(Qt::WA_DeleteOnClose, false);
            bar_.applyTo(dialog_->bar);
            window_ = dialog_.data();
            itemControl_ = dialog_->item;
            // A dialog deleted by someone else leaves the handles empty, never dangling.
            QObject::connect(dialog_.data(), &QObject::destroyed, [this] {
                window_ = nullptr;
                itemControl_ = nullptr;
            });
            dialog_->adjustSize();
            centreOver(dialog_, parent_);
            if (parent_ != nullptr) parent_->setEnabled(false);
            dialog_->show();
        });
    });
}

void SimpleProgressWindow::Finish() {
    guardExportVoid("IConvProgress::Finish", [&] {
        gui_.post([this] {
            if (parent_ != nullptr) parent_->setEnabled(true);
            window_ = nullptr;
            itemControl_ = nullptr;
            delete dialog_.data();
        });
    });
}

}  // namespace tallory::ui
