#include "ui/error_log.h"

#include <QAction>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QToolBar>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/export_guard.h"
#include "tallory/settings.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

using core::guardExport;
using core::guardExportVoid;

namespace {

constexpr const char* kSection = "Settings";
constexpr const char* kRectKey = "OutputRect";

#pragma pack(push, 1)
struct StoredRect {
    int32_t left, top, right, bottom;
};
#pragma pack(pop)
static_assert(sizeof(StoredRect) == 16, "\"OutputRect\" is 16 bytes");

}  // namespace

std::string exportText(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

QString saveNewFile(const QString& path, const std::string& bytes) {
    const QByteArray name = QFile::encodeName(path);
    // O_EXCL: an existing file is never replaced, not even by a race.
    int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return QStringLiteral("%1 already exists. The log was not saved.").arg(path);
        return QStringLiteral("Cannot create %1: %2. The log was not saved.")
            .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            QString why = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            ::unlink(name.constData());
            return QStringLiteral("Cannot write %1: %2. The log was not saved.").arg(path, why);
        }
        at += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::unlink(name.constData());
        return QStringLiteral("Cannot write %1: %2. The log was not saved.").arg(path, why);
    }
    return {};
}

ErrorLogDialog::ErrorLogDialog(QWidget* parent, const std::string& text) : QDialog(parent), text_(text) {
    setWindowTitle(QStringLiteral("Error Log"));
    setSizeGripEnabled(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    toolbar = new QToolBar(this);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    toolbar->setMovable(false);
    QAction* save = toolbar->addAction(QStringLiteral("Save"));
    QAction* copy = toolbar->addAction(QStringLiteral("Copy"));
    QAction* close = toolbar->addAction(QStringLiteral("Close"));
    save->setShortcut(QKeySequence::Save);
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
    connect(save, &QAction::triggered, this, [this] { this->save(); });
    connect(copy, &QAction::triggered, this, [this] { this->copy(); });
    connect(close, &QAction::triggered, this, &QDialog::reject);
    view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    layout->addWidget(toolbar);
    layout->addWidget(view, 1);
    setMinimumSize(320, 200);
    resize(fontMetrics().averageCharWidth() * 90, fontMetrics().height() * 28);
    view->setFocus();
    QTextCursor c = view->textCursor();
    c.clearSelection();
    view->setTextCursor(c);

    StoredRect r{};
    uint32_t size = sizeof r;
    if (GetProfileBinary(kSection, kRectKey, &r, &size) && size == sizeof r && r.right > r.left && r.bottom > r.top) {
        setGeometry(QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1)));
    }
}

ErrorLogDialog::~ErrorLogDialog() {
    // Right and bottom lie just outside the window, as a Windows rectangle has them.
    QRect g = geometry();
    StoredRect r{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
    PutProfileBinary(kSection, kRectKey, &r, sizeof r);
}

void ErrorLogDialog::save() {
    QFileDialog dialog(this, QStringLiteral("Save"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Text file (*.txt)"));
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    // Saving never replaces a file, so there is nothing to confirm.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    saveTo(dialog.selectedFiles().front());
}

void ErrorLogDialog::saveTo(const QString& path) {
    QString problem = saveNewFile(path, exportText(text_));
    if (!problem.isEmpty()) QMessageBox::warning(this, kCaption, problem);
}

void ErrorLogDialog::copy() {
    std::string bytes = exportText(text_);
    QGuiApplication::clipboard()->setText(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

int ErrorLog::Clear() {
    text_.clear();
    return 0;
}

int ErrorLog::Append(const char* text) {
    return guardExport("IErrorLog::Append", 0, [&] {
        if (text != nullptr) text_ += text;
        return 0;
    });
}

int ErrorLog::Show(HWND parent) {
    return guardExport("IErrorLog::Show", 0, [&] {
        ErrorLogDialog dialog(widgetOf(parent), text_);
        dialog.exec();
        return 0;
    });
}

void ErrorLog::Destroy() { delete this; }

}  // namespace tallory::ui
