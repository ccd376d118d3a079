#include "tallory/qt/tallory_slider.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

#include <algorithm>

namespace {

// The thumb is 10 pixels wide; the line ends 5 pixels inside each edge.
constexpr int kThumbSpan = 11;
constexpr int kTrackSpan = 10;
// Presses above the base line do not grab the thumb.
constexpr int kPressTop = 5;

}  // namespace

TallorySlider::TallorySlider(QWidget* parent, int controlId) : QWidget(parent), controlId_(controlId) {
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFocusPolicy(Qt::StrongFocus);
    computeThumb();
}

QSize TallorySlider::sizeHint() const { return {120, 14}; }
QSize TallorySlider::minimumSizeHint() const { return {24, 14}; }

int TallorySlider::thumbX() const {
    if (maximum_ <= 0) return 0;
    // A slider narrower than its margins keeps the thumb at the left edge.
    int span = std::max(0, width() - kThumbSpan);
    return static_cast<int>(static_cast<double>(position_) / maximum_ * span);
}

void TallorySlider::computeThumb() {
    int x = thumbX();
    thumb_ = QPolygon({QPoint(x, 10), QPoint(x + 5, 5), QPoint(x + 10, 10), QPoint(x, 10)});
}

void TallorySlider::setPosition(int position) {
    position_ = std::clamp(position, 0, std::max(0, maximum_));
    computeThumb();
    update();
}

void TallorySlider::setMaximum(int maximum) { maximum_ = maximum; }

void TallorySlider::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    computeThumb();
}

void TallorySlider::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(QPalette::ButtonText));
    const int w = width();
    p.drawPolyline(QPolygon({QPoint(4, 0), QPoint(4, 4), QPoint(w - 5, 4), QPoint(w - 5, -4)}));
    p.drawPolyline(thumb_);
    if (hasFocus()) {
        // Keyboard focus shows as a dotted underline, out of the thumb's way.
        QPen pen = p.pen();
        pen.setStyle(Qt::DotLine);
        p.setPen(pen);
        p.drawLine(0, height() - 1, w - 1, height() - 1);
    }
}

void TallorySlider::moveTo(int x) {
    // The mouse x travels as a signed 16-bit value.
    const int x16 = static_cast<int16_t>(static_cast<uint16_t>(x));
    const int span = std::max(1, width() - kTrackSpan);
    double raw = static_cast<double>(x16) / span * std::max(0, maximum_);
    raw = std::clamp(raw, 0.0, static_cast<double>(std::max(0, maximum_)));
    const int position = static_cast<int>(raw);
    if (position == position_) return;
    QRegion old(thumb_.boundingRect().adjusted(-1, -1, 1, 1));
    position_ = position;
    computeThumb();
    update(old);
    repaint(thumb_.boundingRect().adjusted(-1, -1, 1, 1));
    Q_EMIT notified(controlId_, TALLORY_SLIDER_CHANGED, this);
}

void TallorySlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint at = event->position().toPoint();
    if (at.y() < kPressTop) return;
    captured_ = true;
    moveTo(at.x());
}

void TallorySlider::mouseMoveEvent(QMouseEvent* event) {
    if (captured_) moveTo(event->position().toPoint().x());
}

void TallorySlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) captured_ = false;
}

void TallorySlider::keyPressEvent(QKeyEvent* event) {
    // Keyboard use: the arrows step, Home and End jump; each change notifies as a drag does.
    int target = position_;
    switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Down: target = position_ - 1; break;
        case Qt::Key_Right:
        case Qt::Key_Up: target = position_ + 1; break;
        case Qt::Key_Home: target = 0; break;
        case Qt::Key_End: target = maximum_; break;
        default: QWidget::keyPressEvent(event); return;
    }
    target = std::clamp(target, 0, std::max(0, maximum_));
    if (target == position_) return;
    setPosition(target);
    Q_EMIT notified(controlId_, TALLORY_SLIDER_CHANGED, this);
}
