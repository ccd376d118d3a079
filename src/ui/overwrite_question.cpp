#include "ui/overwrite_question.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include "ui/ui_helpers.h"

namespace tallory::ui {

OverwriteQuestion::OverwriteQuestion(QWidget* parent, const QString& path) : QDialog(parent) {
    setWindowTitle(kCaption);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion, nullptr, this).pixmap(side, side));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* texts = new QVBoxLayout;
    auto* pathLabel = new ElidedLabel(this);
    pathLabel->setObjectName("path");
    pathLabel->setFullText(path, true);
    pathLabel->setMinimumWidth(fontMetrics().averageCharWidth() * 48);
    texts->addWidget(pathLabel);
    texts->addWidget(new QLabel(QStringLiteral("The output file already exists. Would you like to overwrite it?"), this));
    dontAsk = new QCheckBox(QStringLiteral("Do &not ask me again"), this);
    texts->addSpacing(6);
    texts->addWidget(dontAsk);
    top->addLayout(texts, 1);

    auto* buttons = new QDialogButtonBox(this);
    yes = buttons->addButton(QStringLiteral("Yes"), QDialogButtonBox::YesRole);
    always = buttons->addButton(QStringLiteral("Always"), QDialogButtonBox::YesRole);
    no = buttons->addButton(QStringLiteral("No"), QDialogButtonBox::NoRole);
    never = buttons->addButton(QStringLiteral("Never"), QDialogButtonBox::NoRole);
    yes->setDefault(true);
    auto answerWith = [this](Answer a) {
        answer_ = a;
        done(a);
    };
    connect(yes, &QPushButton::clicked, this, [=] { answerWith(kYes); });
    connect(always, &QPushButton::clicked, this, [=] { answerWith(kAlways); });
    connect(no, &QPushButton::clicked, this, [=] { answerWith(kNo); });
    connect(never, &QPushButton::clicked, this, [=] { answerWith(kNever); });
    // Not asking again leaves only the answers that last.
    connect(dontAsk, &QCheckBox::toggled, this, [this](bool on) {
        yes->setEnabled(!on);
        no->setEnabled(!on);
        (on ? always : yes)->setDefault(true);
    });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
}

bool OverwriteQuestion::dontAskAgain() const { return dontAsk->isChecked(); }

}  // namespace tallory::ui
