// TallorySlider: the library's own minimal horizontal slider (libtallory-ui).
// A base line with a small triangular thumb, a position from 0 to a maximum,
// dragged with the left mouse button. The Windows private messages are the
// methods setPosition, position and setMaximum; the change notification is
// the signal `notified`.
#ifndef TALLORY_TALLORY_SLIDER_H
#define TALLORY_TALLORY_SLIDER_H

#include <QPolygon>
#include <QWidget>

#include "tallory/types.h"

// The notification code the slider sends when the user moved the thumb.
#define TALLORY_SLIDER_CHANGED 0xF061

class TALLORY_API TallorySlider : public QWidget {
    Q_OBJECT
public:
    explicit TallorySlider(QWidget* parent = nullptr, int controlId = 0);

    // Clamped to 0 .. maximum; redraws; no notification.
    void setPosition(int position);
    int position() const { return position_; }
    // The thumb keeps its place until the next position change.
    void setMaximum(int maximum);
    int maximum() const { return maximum_; }
    int controlId() const { return controlId_; }
    void setControlId(int id) { controlId_ = id; }
    // The thumb triangle, closed: four points.
    QPolygon thumb() const { return thumb_; }
    // x of the thumb's left corner for a position, with the current width.
    int thumbX() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    // The user moved the thumb to another position: the control's identifier,
    // TALLORY_SLIDER_CHANGED and the control itself, as WM_COMMAND carried them.
    void notified(int controlId, int code, TallorySlider* control);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void computeThumb();
    void moveTo(int x);
    int position_ = 0;
    int maximum_ = 0;
    int controlId_ = 0;
    bool captured_ = false;
    QPolygon thumb_;
};

#endif
