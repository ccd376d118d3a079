// The message log: text collected by the front end, shown on demand in a
// modal window with Save, Copy and Close.
#ifndef TALLORY_UI_ERROR_LOG_H
#define TALLORY_UI_ERROR_LOG_H

#include <QDialog>
#include <QString>

#include <string>

#include "tallory/ui.h"

class QPlainTextEdit;
class QToolBar;

namespace tallory::ui {

// The text as exported: every line feed a CR LF, every carriage return of the text dropped.
std::string exportText(const std::string& text);

// What came of saving: empty when saved, else why not (shown to the user).
QString saveNewFile(const QString& path, const std::string& bytes);

class ErrorLogDialog : public QDialog {
public:
    ErrorLogDialog(QWidget* parent, const std::string& text);
    ~ErrorLogDialog() override;
    QToolBar* toolbar = nullptr;
    QPlainTextEdit* view = nullptr;
    // Save to a file the user chose; tells the user when nothing was written.
    void saveTo(const QString& path);
    void copy();

private:
    void save();
    const std::string& text_;
};

class ErrorLog final : public IErrorLog {
public:
    int Clear() override;
    int Append(const char* text) override;
    int Show(HWND parent) override;
    void Destroy() override;
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

}  // namespace tallory::ui

#endif
