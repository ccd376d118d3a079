// "The output file already exists": Yes, Always, No, Never, and "Do not ask me again".
#ifndef TALLORY_UI_OVERWRITE_QUESTION_H
#define TALLORY_UI_OVERWRITE_QUESTION_H

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace tallory::ui {

class OverwriteQuestion : public QDialog {
public:
    enum Answer { kYes = 6, kNo = 7, kAlways = 1006, kNever = 1013 };
    OverwriteQuestion(QWidget* parent, const QString& path);
    bool dontAskAgain() const;
    // The answer; kNo when the question was closed.
    Answer answer() const { return answer_; }

    QCheckBox* dontAsk = nullptr;
    QPushButton* yes = nullptr;
    QPushButton* always = nullptr;
    QPushButton* no = nullptr;
    QPushButton* never = nullptr;

private:
    Answer answer_ = kNo;
};

}  // namespace tallory::ui

#endif
