// Small pieces shared by the windows: texts in the user's locale, a label that
// shortens a path to fit, and a progress bar that takes 32-bit unsigned ranges.
#ifndef TALLORY_UI_UI_HELPERS_H
#define TALLORY_UI_UI_HELPERS_H

#include <QLabel>
#include <QProgressBar>
#include <QString>

#include <cstdint>

#include "tallory/types.h"

class QWidget;

namespace tallory::ui {

inline constexpr const char* kCaption = "Tallory";

// "4 bytes", "1.2 MB": the byte size in the user's locale, short form.
QString byteSizeText(uint64_t bytes);

// Places `window` over the middle of `owner` (or of the screen), inside the screen.
void centreOver(QWidget* window, QWidget* owner);

// The top-level widget a handle names, or null.
inline QWidget* widgetOf(HWND handle) { return static_cast<QWidget*>(handle); }

// A label whose text, when it is a path, is cut in the middle to fit.
class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text, bool isPath);
    QString fullText() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    QString full_;
    bool isPath_ = false;
};

// Keeps the caller's 32-bit unsigned range and position and shows them on a
// QProgressBar, whose int range would overflow, scaled to fit. An empty range
// shows an empty bar (Qt shows a busy bar for 0 .. 0).
class BarModel {
public:
    void setRange(uint32_t total) {
        total_ = total;
        position_ = 0;
    }
    void setPos(uint32_t position) { position_ = position; }
    void advance(uint32_t delta) { position_ += delta; }
    uint32_t total() const { return total_; }
    uint32_t position() const { return position_; }
    void applyTo(QProgressBar* bar) const;

private:
    uint32_t total_ = 0;
    uint32_t position_ = 0;
};

}  // namespace tallory::ui

#endif
