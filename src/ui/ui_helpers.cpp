#include "ui/ui_helpers.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QResizeEvent>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace tallory::ui {

QString byteSizeText(uint64_t bytes) {
    // Binary units as the desktop's file managers show sizes (KB = 1024 bytes).
    return QLocale().formattedDataSize(static_cast<qint64>(std::min<uint64_t>(bytes, INT64_MAX)), 1,
                                       QLocale::DataSizeTraditionalFormat);
}

void centreOver(QWidget* window, QWidget* owner) {
    if (window == nullptr) return;
    QRect area;
    QScreen* screen = nullptr;
    if (owner != nullptr && owner->isVisible() && !owner->isMinimized()) {
        area = owner->frameGeometry();
        screen = owner->screen();
    }
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    QRect work = screen != nullptr ? screen->availableGeometry() : QRect();
    if (area.isEmpty()) area = work;
    QSize size = window->frameGeometry().size();
    if (size.isEmpty()) size = window->sizeHint();
    QPoint topLeft(area.center().x() - size.width() / 2, area.center().y() - size.height() / 2);
    if (!work.isEmpty()) {
        topLeft.setX(std::clamp(topLeft.x(), work.left(), std::max(work.left(), work.right() - size.width())));
        topLeft.setY(std::clamp(topLeft.y(), work.top(), std::max(work.top(), work.bottom() - size.height())));
    }
    window->move(topLeft);
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setMinimumWidth(40);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text, bool isPath) {
    full_ = text;
    isPath_ = isPath;
    setToolTip(isPath ? text : QString());
    refresh();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    refresh();
}

void ElidedLabel::refresh() {
    if (!isPath_) {
        setText(full_);
        return;
    }
    setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(0, contentsRect().width())));
}

void BarModel::applyTo(QProgressBar* bar) const {
    if (bar == nullptr) return;
    // Qt bars count in int; a range beyond it is shown in steps of 2^k.
    uint32_t total = total_, position = std::min(position_, total_);
    int shift = 0;
    while ((total >> shift) > static_cast<uint32_t>(INT32_MAX)) ++shift;
    int maximum = static_cast<int>(total >> shift);
    bar->setRange(0, maximum > 0 ? maximum : 1);
    bar->setValue(maximum > 0 ? static_cast<int>(position >> shift) : 0);
}

}  // namespace tallory::ui
