// The editors of the tag frames: one modal dialog per frame kind, opened by a
// frame's Edit. Each checks the entry by its kind's rules and stores it in the
// frame only when the user confirms.
#ifndef TALLORY_UI_FRAME_EDITORS_H
#define TALLORY_UI_FRAME_EDITORS_H

#include <QByteArray>
#include <QDialog>
#include <QString>

#include "tallory/metadata.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace tallory::ui {

// Why the entry of a text frame is refused by its kind's rule; empty when it passes.
QString textEntryProblem(int frameId, const QString& entry);
// A scheme followed by ":" and something after it.
bool looksLikeUrl(const QString& text);
// The genre frame text for the list's entries: numbers for known names, the
// rest as text ("(17)(9)Live").
QString genreText(const QStringList& entries);
// ISO 639-2 code, lower case, for a language of the table ("English (United States)" -> "eng").
QString isoLanguageCode(const QString& tableCode, const QString& name);

// Shows the editor of the context's frame; true when the entry was stored.
bool runFrameEditor(QWidget* parent, const TalloryTagFrameDialogContext& context);

class FrameEditor : public QDialog {
public:
    FrameEditor(QWidget* parent, IMetadataFrame* frame);
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;

protected:
    // Adds OK and Cancel below `content`; OK runs store(), which refuses by returning false.
    void finish(QLayout* content, QPushButton* extra = nullptr);
    virtual bool store() = 0;
    // An error box captioned "Tallory"; the dialog stays open.
    void refuse(const QString& message);
    IMetadataFrame* frame_;
};

class TextFrameEditor : public FrameEditor {
public:
    TextFrameEditor(QWidget* parent, ITextFrame* frame, int frameId);
    QLabel* label = nullptr;
    QLineEdit* edit = nullptr;
    QLabel* description = nullptr;

protected:
    bool store() override;

private:
    ITextFrame* text_;
    int frameId_;
};

class UrlFrameEditor : public FrameEditor {
public:
    UrlFrameEditor(QWidget* parent, IMetadataFrame* frame, bool user);
    QLineEdit* description = nullptr;  // user URL only
    QLineEdit* url = nullptr;
    QPushButton* open = nullptr;

protected:
    bool store() override;

private:
    IUrlFrame* plain_ = nullptr;
    IUserUrlFrame* user_ = nullptr;
};

class UserTextFrameEditor : public FrameEditor {
public:
    UserTextFrameEditor(QWidget* parent, IUserTextFrame* frame);
    QLineEdit* description = nullptr;
    QLineEdit* text = nullptr;

protected:
    bool store() override;

private:
    IUserTextFrame* user_;
};

class CommentFrameEditor : public FrameEditor {
public:
    CommentFrameEditor(QWidget* parent, ICommentFrame* frame);
    QLineEdit* description = nullptr;
    QComboBox* language = nullptr;
    QPlainTextEdit* text = nullptr;

protected:
    bool store() override;

private:
    ICommentFrame* comment_;
};

class LanguageFrameEditor : public FrameEditor {
public:
    LanguageFrameEditor(QWidget* parent, ITextFrame* frame);
    QComboBox* language = nullptr;

protected:
    bool store() override;

private:
    ITextFrame* text_;
};

class GenreFrameEditor : public FrameEditor {
public:
    GenreFrameEditor(QWidget* parent, ITextFrame* frame);
    QComboBox* genre = nullptr;
    QListWidget* list = nullptr;
    QPushButton* add = nullptr;
    QPushButton* remove = nullptr;
    void addEntry();

protected:
    bool store() override;

private:
    ITextFrame* text_;
};

class PictureFrameEditor : public FrameEditor {
public:
    PictureFrameEditor(QWidget* parent, IPictureFrame* frame);
    QLineEdit* description = nullptr;
    QComboBox* type = nullptr;
    QLineEdit* mime = nullptr;
    QLineEdit* data = nullptr;
    QPushButton* load = nullptr;
    QPushButton* save = nullptr;
    QPushButton* reset = nullptr;
    // The work of the buttons, once a file is chosen.
    void loadFile(const QString& path);
    void saveFile(const QString& path);
    void resetPicture();
    void reject() override;  // Cancel undoes what Load and Reset did to the frame

protected:
    bool store() override;

private:
    void showData();
    IPictureFrame* picture_;
    QByteArray original_;
    QString originalMime_;
};

}  // namespace tallory::ui

#endif
