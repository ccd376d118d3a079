// Registration with the core: when libtallory-ui is loaded its windows and
// dialogs take the place of the core's console behaviour.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "core/export_guard.h"
#include "tallory/ui_bridge.h"
#include "ui/batch_progress_window.h"
#include "ui/frame_editors.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

namespace {

using core::guardExport;
using core::guardExportVoid;

// True when windows can be made here: an application object on this thread.
bool onGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && qobject_cast<QApplication*>(app) != nullptr && QThread::currentThread() == app->thread();
}

void pumpMessages() {
    guardExportVoid("pumpMessages", [] {
        if (onGuiThread()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    });
}

int messageBox(HWND parent, const char* text, const char* caption, uint32_t style) {
    return guardExport("messageBox", IDCANCEL, [&] {
        if (!onGuiThread()) return (style & 0xF) == MB_OK ? IDOK : IDCANCEL;
        QMessageBox box(widgetOf(parent));
        box.setWindowTitle(QString::fromUtf8(caption != nullptr ? caption : kCaption));
        box.setText(QString::fromUtf8(text != nullptr ? text : ""));
        switch (style & 0xF0) {
            case MB_ICONERROR: box.setIcon(QMessageBox::Critical); break;
            case MB_ICONQUESTION: box.setIcon(QMessageBox::Question); break;
            case MB_ICONWARNING: box.setIcon(QMessageBox::Warning); break;
            case MB_ICONINFORMATION: box.setIcon(QMessageBox::Information); break;
            default: break;
        }
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        switch (style & 0xF) {
            case MB_OKCANCEL: buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
            case MB_YESNOCANCEL: buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
            case MB_YESNO: buttons = QMessageBox::Yes | QMessageBox::No; break;
            default: break;
        }
        box.setStandardButtons(buttons);
        if ((style & MB_DEFBUTTON2) != 0) {
            QList<QAbstractButton*> list = box.buttons();
            if (list.size() > 1) box.setDefaultButton(qobject_cast<QPushButton*>(list[1]));
        }
        switch (box.exec()) {
            case QMessageBox::Ok: return IDOK;
            case QMessageBox::Yes: return IDYES;
            case QMessageBox::No: return IDNO;
            default: return (style & 0xF) == MB_OK ? IDOK : IDCANCEL;
        }
    });
}

bool showDialog(int kind, HWND parent, void* context) {
    return guardExport("showDialog", false, [&]() -> bool {
        if (!onGuiThread() || context == nullptr) return false;
        QWidget* owner = widgetOf(parent);
        if (kind == TALLORY_DIALOG_TAG_FRAME) {
            return runFrameEditor(owner, *static_cast<TalloryTagFrameDialogContext*>(context));
        }
        auto& c = *static_cast<TalloryFormatDialogContext*>(context);
        if (c.size < sizeof(TalloryFormatDialogContext) || c.settings == nullptr) return false;
        switch (kind) {
            case TALLORY_DIALOG_WAVE_SETTINGS: return WaveSettingsDialog(owner, c).exec() == QDialog::Accepted;
            case TALLORY_DIALOG_MP3_SETTINGS: return Mp3SettingsDialog(owner, c).exec() == QDialog::Accepted;
            case TALLORY_DIALOG_WMA_SETTINGS: return WmaSettingsDialog(owner, c).exec() == QDialog::Accepted;
            case TALLORY_DIALOG_OGG_SETTINGS: return OggSettingsDialog(owner, c).exec() == QDialog::Accepted;
            default: return false;
        }
    });
}

IConvBatchProgress* createBatchProgress() {
    return guardExport("createBatchProgress", static_cast<IConvBatchProgress*>(nullptr),
                       []() -> IConvBatchProgress* {
                           // Without an application on this thread the console keeps the batch.
                           if (!onGuiThread()) return nullptr;
                           return new BatchProgressWindow();
                       });
}

struct Registration {
    Registration() {
        TalloryUiHooks hooks{};
        hooks.size = sizeof hooks;
        hooks.pumpMessages = pumpMessages;
        hooks.messageBox = messageBox;
        hooks.showDialog = showDialog;
        hooks.createBatchProgress = createBatchProgress;
        TalloryRegisterUi(&hooks);
    }
    ~Registration() { TalloryRegisterUi(nullptr); }
};

const Registration registration;

}  // namespace

}  // namespace tallory::ui
