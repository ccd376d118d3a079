#include "ui/batch_progress_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSizeGrip>
#include <QStyle>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "core/export_guard.h"
#include "tallory/settings.h"
#include "tallory/ui_bridge.h"
#include "ui/link_opener.h"
#include "ui/overwrite_question.h"

namespace tallory::ui {

using core::guardExport;
using core::guardExportVoid;

namespace {

constexpr const char* kSection = "Settings";
// The largest bar range: a positive 32-bit value.
constexpr uint64_t kMaxBarRange = 0x7FFFFFFFu;

const QColor kRed(255, 0, 0);
const QColor kGreen(0, 127, 0);
const QColor kDarkBlue(0, 0, 95);

QString convertedText(int index, int count) {
    return QString::asprintf("%d of %d item(s) have been converted.", index, count);
}

int readSetting(const char* name, int fallback) {
    int value = fallback;
    return GetProfileIntA(kSection, name, &value) ? value : fallback;
}

}  // namespace

// --- the dialog ------------------------------------------------------------

BatchProgressDialog::BatchProgressDialog(QWidget* parent, BatchProgressWindow& owner)
    : QDialog(parent), owner_(owner) {
    setWindowTitle(kCaption);
    setModal(false);
    setWindowIcon(style()->standardIcon(QStyle::SP_MediaPlay, nullptr, this));
    setSizeGripEnabled(false);

    auto* group = new QGroupBox(QStringLiteral("Conversion Progress"), this);
    auto* grid = new QGridLayout(group);
    action = new QLabel(QStringLiteral("Current File:"), group);
    item = new ElidedLabel(group);
    currentBar = new QProgressBar(group);
    auto* totalLabel = new QLabel(QStringLiteral("Total:"), group);
    totalBar = new QProgressBar(group);
    for (QProgressBar* bar : {currentBar, totalBar}) {
        bar->setRange(0, 1);
        bar->setValue(0);
        bar->setTextVisible(false);
    }
    auto* speedLabel = new QLabel(QStringLiteral("Current Speed:"), group);
    speed = new QLabel(QStringLiteral("?"), group);
    auto* elapsedLabel = new QLabel(QStringLiteral("Elapsed Time:"), group);
    elapsed = new QLabel(QStringLiteral("00:00"), group);
    grid->addWidget(action, 0, 0);
    grid->addWidget(item, 0, 1, 1, 3);
    grid->addWidget(currentBar, 1, 0, 1, 4);
    grid->addWidget(totalLabel, 2, 0);
    grid->addWidget(totalBar, 3, 0, 1, 4);
    grid->addWidget(speedLabel, 4, 0);
    grid->addWidget(speed, 4, 1);
    grid->addWidget(elapsedLabel, 4, 2, Qt::AlignRight);
    grid->addWidget(elapsed, 4, 3, Qt::AlignRight);
    grid->setColumnStretch(1, 1);

    close = new QPushButton(QStringLiteral("Close"), this);
    close->setEnabled(false);
    abort = new QPushButton(QStringLiteral("&Abort"), this);
    details = new QPushButton(QStringLiteral("<< Details"), this);
    abort->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(details);
    buttons->addStretch(1);
    buttons->addWidget(abort);
    buttons->addWidget(close);

    detailsArea = new QWidget(this);
    auto* detailsLayout = new QVBoxLayout(detailsArea);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    separator = new QFrame(detailsArea);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    auto* logLabel = new QLabel(QStringLiteral("Message Output:"), detailsArea);
    log = new QTextBrowser(detailsArea);
    log->setOpenLinks(false);
    log->setOpenExternalLinks(false);
    log->setUndoRedoEnabled(false);
    logLabel->setBuddy(log);
    log->setMinimumHeight(fontMetrics().height() * 10);
    converted = new QLabel(detailsArea);
    auto* grip = new QSizeGrip(detailsArea);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(converted, 1);
    bottom->addWidget(grip, 0, Qt::AlignBottom | Qt::AlignRight);
    detailsLayout->addWidget(separator);
    detailsLayout->addWidget(logLabel);
    detailsLayout->addWidget(log, 1);
    detailsLayout->addLayout(bottom);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(buttons);
    layout->addWidget(detailsArea, 1);

    connect(close, &QPushButton::clicked, this, [this] { owner_.userClose(); });
    connect(abort, &QPushButton::clicked, this, [this] { owner_.userAbort(); });
    connect(details, &QPushButton::clicked, this, [this] { toggleDetails(); });
    connect(log, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) { owner_.openLink(url); });
    connect(&timer, &QTimer::timeout, this, [this] { tick(); });
    resize(fontMetrics().averageCharWidth() * 72, sizeHint().height() + fontMetrics().height() * 6);
}

BatchProgressDialog::~BatchProgressDialog() {
    // The timer stops before anything it touches goes.
    timer.stop();
}

void BatchProgressDialog::initialise(bool shown) {
    detailsShown_ = true;
    fullSize_ = size();
    fullHeight_ = height();
    // From the top of the window to the separator line.
    layout()->activate();
    collapsedHeight_ = detailsArea->geometry().top();
    setMinimumSize(fullSize_);
    if (!shown) toggleDetails();
    clock.start();
    timer.start(1000);
}

void BatchProgressDialog::applyDetails() {
    if (detailsShown_) {
        detailsArea->show();
        details->setText(QStringLiteral("<< Details"));
        setMinimumSize(fullSize_);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        resize(width(), std::max(fullHeight_, fullSize_.height()));
    } else {
        details->setText(QStringLiteral("Details >>"));
        detailsArea->hide();
        // Collapsed, the window keeps its size.
        setMinimumSize(width(), collapsedHeight_);
        setMaximumSize(width(), collapsedHeight_);
        resize(width(), collapsedHeight_);
    }
}

void BatchProgressDialog::toggleDetails() {
    if (detailsShown_) fullHeight_ = height();
    detailsShown_ = !detailsShown_;
    applyDetails();
    QScrollBar* bar = log->verticalScrollBar();
    bar->setValue(bar->value() + bar->pageStep());
}

void BatchProgressDialog::tick() {
    qint64 seconds = clock.isValid() ? clock.elapsed() / 1000 : 0;
    elapsed->setText(QString::asprintf("%02d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60)));
}

void BatchProgressDialog::reject() {
    if (close->isEnabled()) {
        owner_.userClose();
    } else if (abort->isEnabled()) {
        owner_.userAbort();
    }
}

void BatchProgressDialog::closeEvent(QCloseEvent* event) {
    // The close box acts as Escape: it closes a finished batch and stops a running one.
    event->ignore();
    reject();
}

// --- the progress object -----------------------------------------------------

BatchProgressWindow::BatchProgressWindow() {
    alwaysOverwrite_ = readSetting("AlwaysOverwrite", 0) != 0;
    neverOverwrite_ = readSetting("NeverOverwrite", 0) != 0;
    detailsShown_ = readSetting("ProgressDetails", 1) != 0;
}

BatchProgressWindow::~BatchProgressWindow() {
    gui_.shutdown();
    window_ = nullptr;
    itemControl_ = nullptr;
    delete dialog_.data();
}

void BatchProgressWindow::userAbort() {
    if (dialog_ != nullptr) dialog_->abort->setEnabled(false);
    cancelled_ = true;
}

void BatchProgressWindow::userClose() {
    if (dialog_ == nullptr) return;
    detailsShown_ = dialog_->detailsShown();
    PutProfileInt(kSection, "ProgressDetails", detailsShown_ ? 1 : 0);
    window_ = nullptr;
    itemControl_ = nullptr;
    // The dialog goes later, perhaps after this object: it must not call back.
    QObject::disconnect(watch_);
    dialog_->timer.stop();
    dialog_->hide();
    dialog_->deleteLater();
    dialog_ = nullptr;
}

void BatchProgressWindow::openLink(const QUrl& url) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    openUrl(url);
    QApplication::restoreOverrideCursor();
}

int BatchProgressWindow::ConfirmOverwrite(const char* path) {
    return guardExport("IConvProgress::ConfirmOverwrite", 0, [&] {
        QString p = QString::fromUtf8(path != nullptr ? path : "");
        return gui_.call<int>([this, p] { return confirmOnOwnThread(p); }, 0);
    });
}

int BatchProgressWindow::confirmOnOwnThread(const QString& path) {
    if (neverOverwrite_) return 0;
    if (alwaysOverwrite_) return 1;
    OverwriteQuestion question(dialog_ != nullptr ? static_cast<QWidget*>(dialog_) : parent_.data(), path);
    question.exec();
    switch (question.answer()) {
        case OverwriteQuestion::kYes:
            return 1;
        case OverwriteQuestion::kAlways:
            alwaysOverwrite_ = true;
            if (question.dontAskAgain()) PutProfileInt(kSection, "AlwaysOverwrite", 1);
            return 1;
        case OverwriteQuestion::kNever:
            neverOverwrite_ = true;
            if (question.dontAskAgain()) PutProfileInt(kSection, "NeverOverwrite", 1);
            return 0;
        case OverwriteQuestion::kNo:
        default:
            return 0;
    }
}

void BatchProgressWindow::Message(const char* text) { MessageEx(text, ""); }

void BatchProgressWindow::MessageEx(const char* text, const char* kinds) {
    guardExportVoid("IConvProgress::MessageEx", [&] {
        QString t = QString::fromUtf8(text != nullptr ? text : "");
        QString k = QString::fromUtf8(kinds != nullptr ? kinds : "");
        gui_.post([this, t, k] { appendLog(t, k); });
    });
}

void BatchProgressWindow::appendLog(const QString& text, const QString& kinds) {
    // Letters select attributes; what no letter selects stays as the end of the log has it.
    for (QChar letter : {QChar('e'), QChar('i'), QChar('b'), QChar('k')}) {
        if (!kinds.contains(letter)) continue;
        if (letter == 'e') {
            logFormat_.setForeground(kRed);
            TalloryPlayNamedSound("ConversionError");
        } else if (letter == 'i') {
            logFormat_.setForeground(kGreen);
        } else if (letter == 'b') {
            logFormat_.setFontWeight(QFont::Bold);
        } else {
            logFormat_.setForeground(kDarkBlue);
        }
    }
    if (dialog_ == nullptr || text.isEmpty()) return;
    QTextCursor cursor(dialog_->log->document());
    cursor.movePosition(QTextCursor::End);
    for (const LinkSpan& span : splitLinks(text)) {
        QTextCharFormat format = logFormat_;
        if (span.isLink) {
            format.setAnchor(true);
            format.setAnchorHref(span.text);
            format.setFontUnderline(true);
        }
        cursor.insertText(span.text, format);
    }
    dialog_->log->setTextCursor(cursor);
    dialog_->log->ensureCursorVisible();
}

void BatchProgressWindow::SetRange(uint32_t total) {
    guardExportVoid("IConvProgress::SetRange", [&] {
        gui_.post([this, total] {
            bar_.setRange(total);
            if (dialog_ != nullptr) bar_.applyTo(dialog_->currentBar);
        });
    });
}

void BatchProgressWindow::SetPos(uint32_t position) {
    guardExportVoid("IConvProgress::SetPos", [&] {
        gui_.post([this, position] {
            bar_.setPos(position);
            if (dialog_ != nullptr) bar_.applyTo(dialog_->currentBar);
        });
    });
}

void BatchProgressWindow::Advance(uint32_t delta) {
    guardExportVoid("IConvProgress::Advance", [&] {
        gui_.post([this, delta] {
            bar_.advance(delta);
            done_ += delta;
            if (dialog_ != nullptr) bar_.applyTo(dialog_->currentBar);
            refreshTotal();
        });
    });
}

void BatchProgressWindow::refreshTotal() {
    if (dialog_ == nullptr) return;
    uint64_t maximum = total_ / scale_;
    dialog_->totalBar->setRange(0, maximum > 0 ? static_cast<int>(maximum) : 1);
    dialog_->totalBar->setValue(maximum > 0 ? static_cast<int>(std::min(done_ / scale_, maximum)) : 0);
}

void BatchProgressWindow::refreshConverted() {
    if (dialog_ != nullptr) dialog_->converted->setText(convertedText(index_, static_cast<int>(items_.size())));
}

void BatchProgressWindow::SetAction(const char* text) {
    guardExportVoid("IConvProgress::SetAction", [&] {
        QString t = QString::fromUtf8(text != nullptr ? text : "");
        gui_.post([this, t] {
            if (dialog_ != nullptr) dialog_->action->setText(t);
        });
    });
}

int BatchProgressWindow::IsCancelled() { return cancelled_.load() ? 1 : 0; }

void BatchProgressWindow::SetItem(const char* text, int isPath) {
    guardExportVoid("IConvProgress::SetItem", [&] {
        QString t = QString::fromUtf8(text != nullptr ? text : "");
        gui_.post([this, t, isPath] {
            if (dialog_ != nullptr) dialog_->item->setFullText(t, isPath != 0);
        });
    });
}

void BatchProgressWindow::Throughput(const CLSID&, int isRead, uint32_t bytes, uint32_t milliseconds) {
    guardExportVoid("IConvProgress::Throughput", [&] {
        gui_.post([this, isRead, bytes, milliseconds] {
            (isRead != 0 ? readMs_ : writeMs_) += milliseconds;
            (isRead != 0 ? readBytes_ : writeBytes_) += bytes;
            if (readMs_ + writeMs_ <= 1000) return;
            // The reading time counted at the rate of writing; nothing written yet leaves it as it is.
            if (readBytes_ != writeBytes_ && writeBytes_ != 0) {
                readMs_ = static_cast<uint64_t>(static_cast<double>(readMs_) * static_cast<double>(readBytes_) /
                                                static_cast<double>(writeBytes_));
            }
            uint64_t t = readMs_ + writeMs_;
            if (t != 1000 && t != 0) {
                double perSecond = static_cast<double>(readBytes_) * 1000.0 / static_cast<double>(t);
                readBytes_ = perSecond >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(perSecond);
            }
            if (dialog_ != nullptr) dialog_->speed->setText(byteSizeText(readBytes_) + QStringLiteral("/s"));
            readMs_ = readBytes_ = writeMs_ = writeBytes_ = 0;
        });
    });
}

void BatchProgressWindow::Destroy() { delete this; }

void BatchProgressWindow::Cancel() { cancelled_ = true; }

HWND BatchProgressWindow::GetWindow() { return window_.load(); }
HWND BatchProgressWindow::GetItemControl() { return itemControl_.load(); }

void BatchProgressWindow::Create(HWND parent) {
    guardExportVoid("IConvProgress::Create", [&] {
        gui_.post([this, parent] {
            if (dialog_ != nullptr) return;
            parent_ = widgetOf(parent);
            dialog_ = new BatchProgressDialog(parent_, *this);
            bar_.applyTo(dialog_->currentBar);
            window_ = dialog_.data();
            itemControl_ = dialog_->item;
            watch_ = QObject::connect(dialog_.data(), &QObject::destroyed, [this] {
                window_ = nullptr;
                itemControl_ = nullptr;
            });
            centreOver(dialog_, parent_);
            dialog_->initialise(detailsShown_);
            refreshTotal();
            if (!items_.empty()) refreshConverted();
        });
    });
}

void BatchProgressWindow::Show() {
    guardExportVoid("IConvBatchProgress::Show", [&] {
        gui_.post([this] {
            if (dialog_ == nullptr) return;
            dialog_->show();
            dialog_->raise();
            dialog_->update();
        });
    });
}

void BatchProgressWindow::Finish() {
    guardExportVoid("IConvProgress::Finish", [&] {
        gui_.post([this] {
            finished_ = true;
            bar_.setRange(0);
            if (dialog_ == nullptr) return;
            bar_.applyTo(dialog_->currentBar);
            dialog_->totalBar->setRange(0, 1);
            dialog_->totalBar->setValue(0);
            dialog_->close->setEnabled(true);
            dialog_->abort->setEnabled(false);
            dialog_->close->setDefault(true);
            dialog_->close->setFocus();
        });
    });
}

void BatchProgressWindow::StartBatch(IConvSource** sources, IConvTarget** targets, bool twoPasses, int count) {
    guardExportVoid("IConvBatchProgress::StartBatch", [&] {
        // Sources are opened on the window's thread: the caller's, which owns them.
        gui_.call<int>(
            [&] {
                if (dialog_ != nullptr) dialog_->item->setFullText(QStringLiteral("Initializing..."), false);
                done_ = 0;
                index_ = 0;
                total_ = 0;
                readMs_ = readBytes_ = writeMs_ = writeBytes_ = 0;
                items_.assign(static_cast<size_t>(std::max(count, 0)), Item{});
                for (size_t i = 0; i < items_.size(); ++i) {
                    Item& it = items_[i];
                    IConvSource* source = sources != nullptr ? sources[i] : nullptr;
                    IConvTarget* target = targets != nullptr ? targets[i] : nullptr;
                    if (source != nullptr) source->GetClassId(&it.source);
                    if (target != nullptr) target->GetClassId(&it.target);
                    uint32_t length = 0;
                    if (source != nullptr && source->Open()) {
                        if (!source->GetLength(&length, -1, -1)) length = 0;
                        source->Close();
                    }
                    it.length = twoPasses ? 2 * static_cast<uint64_t>(length) : length;
                    total_ += it.length;
                    QCoreApplication::processEvents();
                }
                scale_ = 1;
                while (total_ / scale_ > kMaxBarRange) scale_ *= 10;
                endOfItem_ = items_.empty() ? 0 : items_.front().length;
                refreshTotal();
                refreshConverted();
                return 0;
            },
            0);
    });
}

void BatchProgressWindow::NextItem() {
    guardExportVoid("IConvBatchProgress::NextItem", [&] {
        gui_.post([this] {
            done_ = endOfItem_;
            ++index_;
            if (static_cast<size_t>(index_) < items_.size()) endOfItem_ += items_[static_cast<size_t>(index_)].length;
            refreshTotal();
            refreshConverted();
            if (static_cast<size_t>(index_) >= items_.size() && dialog_ != nullptr) dialog_->timer.stop();
        });
    });
}

}  // namespace tallory::ui
