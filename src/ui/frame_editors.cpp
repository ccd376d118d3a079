#include "ui/frame_editors.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "core/export_guard.h"
#include "tallory/ui_bridge.h"
#include "ui/frame_descriptions.h"
#include "ui/link_opener.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

namespace {

// Texts cross the frame interfaces as UTF-16 of any length; this much room is
// asked for first and grown when the value fills it.
constexpr int kFirstRoom = 1024;
constexpr int kMaxRoom = 16 << 20;
// A picture larger than this is refused rather than read into the tag.
constexpr qint64 kMaxPictureBytes = 16 << 20;
constexpr int kYearLow = 1800, kYearHigh = 2100;
constexpr int kPairLow = 1, kPairHigh = 99;

// ID3v2.3 4.15.
const char* const kPictureTypes[21] = {"Other",
                                       "32x32 pixels 'file icon' (PNG only)",
                                       "Other file icon",
                                       "Cover (front)",
                                       "Cover (back)",
                                       "Leaflet page",
                                       "Media (e.g. lable side of CD)",
                                       "Lead artist/lead performer/soloist",
                                       "Artist/performer",
                                       "Conductor",
                                       "Band/Orchestra",
                                       "Composer",
                                       "Lyricist/text writer",
                                       "Recording Location",
                                       "During recording",
                                       "During performance",
                                       "Movie/video screen capture",
                                       "A bright coloured fish",
                                       "Illustration",
                                       "Band/artist logotype",
                                       "Publisher/Studio logotype"};

// Reads a UTF-16 value through a getter that copies at most `capacity`
// characters and may leave the buffer unterminated when it is full.
template <class Getter>
QString readText(Getter get) {
    for (int room = kFirstRoom; room <= kMaxRoom; room *= 4) {
        std::vector<char16_t> buffer(static_cast<size_t>(room) + 1, u'\0');
        get(buffer.data(), room);
        size_t n = 0;
        while (n < static_cast<size_t>(room) && buffer[n] != u'\0') ++n;
        if (n < static_cast<size_t>(room)) return QString::fromUtf16(buffer.data(), static_cast<qsizetype>(n));
    }
    return {};
}

std::u16string utf16(const QString& s) { return s.toStdU16String(); }

// Unsigned decimal at the start: white space and a sign allowed; `end` gets where it stopped.
unsigned long long leadingNumber(const QString& text, int* end) {
    int i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned long long v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (v < 100000000000ULL) v = v * 10 + static_cast<unsigned>(text[i].unicode() - '0');
        ++i;
    }
    if (end != nullptr) *end = i;
    // As strtoul reads it: a negative number wraps around to a huge one.
    return negative && v != 0 ? ~0ULL - v + 1 : v;
}

QString rangeMessage(int low, int high) { return QString::asprintf("Please enter a number between %d and %d.", low, high); }

// The table's languages by full name, each once, with the table's code.
std::vector<std::pair<QString, QString>> languages() {
    std::vector<std::pair<QString, QString>> list;
    const int n = TalloryGetLanguageCount();
    for (int i = 0; i < n; ++i) {
        char code[8] = "", name[128] = "";
        if (!TalloryGetLanguageAt(i, code, sizeof code, name, sizeof name)) continue;
        const QString full = QString::fromUtf8(name);
        bool seen = false;
        for (const auto& e : list) seen = seen || e.second.compare(full, Qt::CaseInsensitive) == 0;
        if (!seen) list.emplace_back(QString::fromUtf8(code), full);
    }
    return list;
}

// Fills a language list and selects the frame's code (a table code or an ISO 639-2 code).
void fillLanguages(QComboBox* box, const QString& current, bool sorted) {
    auto list = languages();
    if (sorted) {
        std::stable_sort(list.begin(), list.end(),
                         [](const auto& a, const auto& b) { return a.second.compare(b.second, Qt::CaseInsensitive) < 0; });
    }
    int select = -1;
    for (const auto& [code, name] : list) {
        const QString iso = isoLanguageCode(code, name);
        box->addItem(name, iso);
        if (select < 0 && (code.compare(current, Qt::CaseInsensitive) == 0 || iso.compare(current, Qt::CaseInsensitive) == 0)) {
            select = box->count() - 1;
        }
    }
    box->setCurrentIndex(select);
}

}  // namespace

QString textEntryProblem(int frameId, const QString& entry) {
    int end = 0;
    switch (frameId) {
        case METADATA_FRAME_TYER: {
            unsigned long long v = leadingNumber(entry, &end);
            if (end < entry.size()) return QStringLiteral("Please enter a valid number.");
            if (v < kYearLow || v > kYearHigh) return rangeMessage(kYearLow, kYearHigh);
            return {};
        }
        case METADATA_FRAME_TCOP: {
            unsigned long long v = leadingNumber(entry, &end);
            if (v < kYearLow || v > kYearHigh) {
                return QString::asprintf("The copyright text must start with a year between %d and %d.", kYearLow,
                                         kYearHigh);
            }
            return {};
        }
        case METADATA_FRAME_TDAT:
        case METADATA_FRAME_TIME: {
            const bool date = frameId == METADATA_FRAME_TDAT;
            const QString message = date ? QStringLiteral("Please enter a numeric string in DDMM format.")
                                         : QStringLiteral("Please enter a numeric string in HHMM format.");
            static const QRegularExpression fourDigits(QStringLiteral("^[0-9]{4}$"));
            if (!fourDigits.match(entry).hasMatch()) return message;
            const unsigned long long v = leadingNumber(entry, &end);
            const unsigned hi = static_cast<unsigned>(v / 100), lo = static_cast<unsigned>(v % 100);
            const bool ok = date ? (hi >= 1 && hi <= 31 && lo >= 1 && lo <= 12) : (hi <= 23 && lo <= 59);
            return ok ? QString() : message;
        }
        case METADATA_FRAME_TRCK:
        case METADATA_FRAME_TPOS: {
            const QString slash = QStringLiteral("Please enter a number or two numbers separated by a slash.");
            const unsigned long long n = leadingNumber(entry, &end);
            unsigned long long m = 0;
            bool hasM = false;
            if (end < entry.size()) {
                if (entry[end] != '/') return slash;
                const QString rest = entry.mid(end + 1);
                int restEnd = 0;
                m = leadingNumber(rest, &restEnd);
                if (restEnd < rest.size()) return slash;
                hasM = true;
            }
            if (hasM && (m < kPairLow || m > kPairHigh)) return rangeMessage(kPairLow, kPairHigh);
            if (n < kPairLow || n > kPairHigh) return rangeMessage(kPairLow, kPairHigh);
            if (hasM && m < n) return QStringLiteral("The first number must be smaller than the second one.");
            return {};
        }
        default:
            return {};
    }
}

bool looksLikeUrl(const QString& text) {
    static const QRegularExpression url(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:\\S"));
    return url.match(text.trimmed()).hasMatch();
}

QString genreText(const QStringList& entries) {
    QString out;
    bool lastWasText = false;
    for (const QString& raw : entries) {
        const QString entry = raw.trimmed();
        const int number = GenreToNum(entry.toUtf8().constData());
        if (number >= 0 && QString::fromUtf8(GenreGet(static_cast<uint32_t>(number))).trimmed() == entry) {
            out += QString::asprintf("(%d)", number);
            lastWasText = false;
            continue;
        }
        // Two texts in a row stay two: the display splits them at ", " again.
        if (lastWasText) out += QStringLiteral(", ");
        if (entry.startsWith('(')) out += '(';
        out += entry;
        lastWasText = true;
    }
    return out;
}

QString isoLanguageCode(const QString& tableCode, const QString& name) {
    static const std::map<QString, QString> byName = [] {
        std::map<QString, QString> m;
        for (int l = QLocale::AnyLanguage + 1; l <= QLocale::LastLanguage; ++l) {
            const auto language = static_cast<QLocale::Language>(l);
            const QString code = QLocale::languageToCode(language, QLocale::ISO639Part2);
            if (code.size() == 3) m.emplace(QLocale::languageToString(language).toLower(), code.toLower());
        }
        return m;
    }();
    QString base = name;
    const int paren = base.indexOf(QStringLiteral(" ("));
    if (paren > 0) base.truncate(paren);
    auto it = byName.find(base.trimmed().toLower());
    return it != byName.end() ? it->second : tableCode.toLower();
}

// --- shared ---------------------------------------------------------------------

FrameEditor::FrameEditor(QWidget* parent, IMetadataFrame* frame) : QDialog(parent), frame_(frame) {
    setWindowTitle(QString::fromUtf8(frame->GetName()));
}

void FrameEditor::finish(QLayout* content, QPushButton* extra) {
    auto* buttons = new QDialogButtonBox(this);
    if (extra != nullptr) buttons->addButton(extra, QDialogButtonBox::ActionRole);
    ok = buttons->addButton(QDialogButtonBox::Ok);
    cancel = buttons->addButton(QDialogButtonBox::Cancel);
    connect(ok, &QPushButton::clicked, this, [this] {
        if (store()) accept();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(content);
    layout->addWidget(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
}

void FrameEditor::refuse(const QString& message) { QMessageBox::critical(this, kCaption, message); }

// --- text (203) --------------------------------------------------------------------

TextFrameEditor::TextFrameEditor(QWidget* parent, ITextFrame* frame, int frameId)
    : FrameEditor(parent, frame), text_(frame), frameId_(frameId) {
    setWindowTitle(QStringLiteral("Edit Text"));
    auto* layout = new QVBoxLayout;
    label = new QLabel(QString::fromUtf8(frame->GetName()) + QStringLiteral(":"), this);
    edit = new QLineEdit(this);
    label->setBuddy(edit);
    description = new QLabel(QString::fromUtf8(frameDescription(frameId)), this);
    description->setWordWrap(true);
    description->setEnabled(false);
    edit->setText(readText([&](char16_t* b, int n) { frame->GetText(b, n); }));
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addWidget(description);
    finish(layout);
}

bool TextFrameEditor::store() {
    const QString entry = edit->text();
    const QString problem = textEntryProblem(frameId_, entry);
    if (!problem.isEmpty()) {
        refuse(problem);
        return false;
    }
    text_->SetText(utf16(entry).c_str());
    return true;
}

// --- URL (205) and user URL (204) -----------------------------------------------------

UrlFrameEditor::UrlFrameEditor(QWidget* parent, IMetadataFrame* frame, bool user) : FrameEditor(parent, frame) {
    auto* form = new QFormLayout;
    url = new QLineEdit(this);
    open = new QPushButton(QStringLiteral("&Open URL..."), this);
    open->setAutoDefault(false);
    if (user) {
        user_ = static_cast<IUserUrlFrame*>(frame);
        description = new QLineEdit(this);
        description->setText(readText([&](char16_t* b, int n) { user_->GetDescription(b, n); }));
        url->setText(readText([&](char16_t* b, int n) { user_->GetUrl(b, n); }));
        form->addRow(QStringLiteral("&Description:"), description);
        form->addRow(QStringLiteral("&URL link:"), url);
    } else {
        plain_ = static_cast<IUrlFrame*>(frame);
        setWindowTitle(QStringLiteral("Edit URL"));
        url->setText(readText([&](char16_t* b, int n) { plain_->GetUrl(b, n); }));
        auto* label = new QLabel(QString::fromUtf8(frame->GetName()) + QStringLiteral(":"), this);
        label->setBuddy(url);
        form->addRow(label);
        form->addRow(url);
        auto* about = new QLabel(QString::fromUtf8(frameDescription(frame->GetFrameId())), this);
        about->setWordWrap(true);
        about->setEnabled(false);
        form->addRow(about);
    }
    connect(open, &QPushButton::clicked, this, [this] {
        const QString entry = url->text().trimmed();
        if (!looksLikeUrl(entry)) {
            refuse(QStringLiteral("Please enter a valid URL."));
            return;
        }
        QApplication::setOverrideCursor(Qt::BusyCursor);
        openUrl(QUrl(entry));
        QApplication::restoreOverrideCursor();
    });
    finish(form, open);
}

bool UrlFrameEditor::store() {
    const QString entry = url->text();
    if (!looksLikeUrl(entry)) {
        refuse(QStringLiteral("Please enter a valid URL."));
        return false;
    }
    if (user_ != nullptr) {
        if (description->text().isEmpty()) {
            refuse(QStringLiteral("Please enter description for user-defined URL link."));
            return false;
        }
        user_->SetUrl(utf16(entry).c_str());
        user_->SetDescription(utf16(description->text()).c_str());
    } else {
        plain_->SetUrl(utf16(entry).c_str());
    }
    return true;
}

// --- user text (206) -------------------------------------------------------------------

UserTextFrameEditor::UserTextFrameEditor(QWidget* parent, IUserTextFrame* frame)
    : FrameEditor(parent, frame), user_(frame) {
    auto* form = new QFormLayout;
    description = new QLineEdit(readText([&](char16_t* b, int n) { frame->GetDescription(b, n); }), this);
    text = new QLineEdit(readText([&](char16_t* b, int n) { frame->GetText(b, n); }), this);
    form->addRow(QStringLiteral("&Description:"), description);
    form->addRow(QStringLiteral("&Text:"), text);
    finish(form);
}

bool UserTextFrameEditor::store() {
    user_->SetDescription(utf16(description->text()).c_str());
    user_->SetText(utf16(text->text()).c_str());
    return true;
}

// --- comment (210) -----------------------------------------------------------------------

CommentFrameEditor::CommentFrameEditor(QWidget* parent, ICommentFrame* frame)
    : FrameEditor(parent, frame), comment_(frame) {
    auto* form = new QFormLayout;
    description = new QLineEdit(readText([&](char16_t* b, int n) { frame->GetDescription(b, n); }), this);
    language = new QComboBox(this);
    fillLanguages(language, readText([&](char16_t* b, int n) { frame->GetLanguage(b, n); }), false);
    text = new QPlainTextEdit(this);
    text->setPlainText(readText([&](char16_t* b, int n) { frame->GetText(b, n); }));
    text->setTabChangesFocus(true);
    form->addRow(QStringLiteral("&Description:"), description);
    form->addRow(QStringLiteral("&Language:"), language);
    form->addRow(QStringLiteral("&Text:"), text);
    finish(form);
}

bool CommentFrameEditor::store() {
    if (text->toPlainText().isEmpty()) {
        refuse(QStringLiteral("Please enter a comment."));
        return false;
    }
    // ID3v2 wants the ISO 639-2 code in lower case.
    comment_->SetLanguage(utf16(language->currentIndex() >= 0 ? language->currentData().toString() : QString()).c_str());
    comment_->SetDescription(utf16(description->text()).c_str());
    comment_->SetText(utf16(text->toPlainText()).c_str());
    return true;
}

// --- language (209) -------------------------------------------------------------------------

LanguageFrameEditor::LanguageFrameEditor(QWidget* parent, ITextFrame* frame) : FrameEditor(parent, frame), text_(frame) {
    auto* form = new QFormLayout;
    language = new QComboBox(this);
    fillLanguages(language, readText([&](char16_t* b, int n) { frame->GetText(b, n); }), true);
    form->addRow(QStringLiteral("&Language:"), language);
    finish(form);
}

bool LanguageFrameEditor::store() {
    text_->SetText(utf16(language->currentIndex() >= 0 ? language->currentData().toString() : QString()).c_str());
    return true;
}

// --- genre (208) ---------------------------------------------------------------------------------

GenreFrameEditor::GenreFrameEditor(QWidget* parent, ITextFrame* frame) : FrameEditor(parent, frame), text_(frame) {
    setWindowTitle(QStringLiteral("Content Type / Genre"));
    genre = new QComboBox(this);
    genre->setEditable(true);
    genre->setInsertPolicy(QComboBox::NoInsert);
    for (int i = 0; i < GenreGetCount(); ++i) genre->addItem(QString::fromUtf8(GenreGet(static_cast<uint32_t>(i))).trimmed());
    genre->setCurrentIndex(-1);
    list = new QListWidget(this);
    add = new QPushButton(QStringLiteral("Add"), this);
    remove = new QPushButton(QStringLiteral("&Remove"), this);
    add->setAutoDefault(false);
    remove->setAutoDefault(false);
    const QString shown = readText([&](char16_t* b, int n) { frame->GetDisplayText(b, n); });
    for (const QString& piece : shown.split(QStringLiteral(", "), Qt::SkipEmptyParts)) list->addItem(piece);
    auto* grid = new QGridLayout;
    auto* label = new QLabel(QStringLiteral("&Genre:"), this);
    label->setBuddy(genre);
    grid->addWidget(label, 0, 0);
    grid->addWidget(genre, 0, 1);
    grid->addWidget(add, 0, 2);
    grid->addWidget(list, 1, 1);
    auto* side = new QVBoxLayout;
    side->addWidget(remove);
    side->addStretch(1);
    grid->addLayout(side, 1, 2);
    connect(add, &QPushButton::clicked, this, [this] { addEntry(); });
    connect(remove, &QPushButton::clicked, this, [this] { delete list->currentItem(); });
    finish(grid);
}

void GenreFrameEditor::addEntry() {
    const QString entry = genre->currentText();
    if (entry.isEmpty()) return;
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().startsWith(entry, Qt::CaseInsensitive)) {
            list->setCurrentRow(i);
            return;
        }
    }
    list->addItem(entry);
    list->setCurrentRow(list->count() - 1);
}

bool GenreFrameEditor::store() {
    if (list->count() == 0) {
        refuse(QStringLiteral("Please enter/select at least one genre and click Add."));
        return false;
    }
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->item(i)->text();
    text_->SetText(utf16(genreText(entries)).c_str());
    return true;
}

// --- picture (207) ----------------------------------------------------------------------------------

PictureFrameEditor::PictureFrameEditor(QWidget* parent, IPictureFrame* frame)
    : FrameEditor(parent, frame), picture_(frame) {
    auto* form = new QFormLayout;
    description = new QLineEdit(readText([&](char16_t* b, int n) { frame->GetDescription(b, n); }), this);
    type = new QComboBox(this);
    for (const char* t : kPictureTypes) type->addItem(QString::fromUtf8(t));
    type->setCurrentIndex(std::clamp(frame->GetPictureType(), 0, 20));
    mime = new QLineEdit(readText([&](char16_t* b, int n) { frame->GetMimeType(b, n); }), this);
    mime->setReadOnly(true);
    data = new QLineEdit(this);
    data->setReadOnly(true);
    load = new QPushButton(QStringLiteral("&Load Picture"), this);
    save = new QPushButton(QStringLiteral("&Save Picture"), this);
    reset = new QPushButton(QStringLiteral("Reset"), this);
    for (QPushButton* b : {load, save, reset}) b->setAutoDefault(false);
    // The long MIME label puts its field below it rather than squeezing it.
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    form->addRow(QStringLiteral("&Description:"), description);
    form->addRow(QStringLiteral("Picture &type:"), type);
    form->addRow(QStringLiteral("Multipurpose Internet Mail Extensions (MIME) type:"), mime);
    form->addRow(QStringLiteral("Picture data:"), data);
    auto* row = new QHBoxLayout;
    row->addWidget(load);
    row->addWidget(save);
    row->addWidget(reset);
    row->addStretch(1);
    form->addRow(row);
    // Kept so that Cancel can put the picture back.
    uint32_t size = 0;
    if (TalloryGetPictureData(frame, nullptr, &size) && size > 0) {
        original_.resize(static_cast<qsizetype>(size));
        if (!TalloryGetPictureData(frame, original_.data(), &size)) original_.clear();
    }
    originalMime_ = mime->text();
    connect(load, &QPushButton::clicked, this, [this] {
        QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Load Picture"), QString(),
            QStringLiteral("JPEG files (.jpg) (*.jpg *.jpeg);;PNG files (.png) (*.png);;All files (*.*) (*)"));
        if (!path.isEmpty()) loadFile(path);
    });
    connect(save, &QPushButton::clicked, this, [this] {
        QFileDialog dialog(this, QStringLiteral("Save Picture"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(QStringLiteral("JPEG files (.jpg) (*.jpg)"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            saveFile(dialog.selectedFiles().front());
        }
    });
    connect(reset, &QPushButton::clicked, this, [this] { resetPicture(); });
    finish(form);
    showData();
}

void PictureFrameEditor::showData() {
    const bool has = !mime->text().isEmpty();
    uint32_t size = 0;
    TalloryGetPictureData(picture_, nullptr, &size);
    data->setText(has ? QString::asprintf("(%u bytes)", size) : QString());
    save->setEnabled(has);
    reset->setEnabled(has);
}

void PictureFrameEditor::loadFile(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault()) {
        refuse(QStringLiteral("Unable to get MIME type of the picture file."));
        return;
    }
    const QString name = type.name();
    if (!name.startsWith(QStringLiteral("image"))) {
        refuse(QStringLiteral("The selected file is not a picture."));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        refuse(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return;
    }
    if (file.size() > kMaxPictureBytes) {
        refuse(QStringLiteral("The picture is larger than %1 bytes.").arg(kMaxPictureBytes));
        return;
    }
    if (name != QStringLiteral("image/jpeg") && name != QStringLiteral("image/png")) {
        QMessageBox::information(
            this, kCaption, QStringLiteral("You should use the PNG or JPEG picture format when you want interoperability.\n"));
    }
    const QByteArray bytes = file.readAll();
    TalloryPutPictureData(picture_, bytes.constData(), static_cast<uint32_t>(bytes.size()));
    picture_->SetMimeType(utf16(name).c_str());
    mime->setText(name);
    showData();
}

void PictureFrameEditor::saveFile(const QString& path) {
    uint32_t size = 0;
    if (!TalloryGetPictureData(picture_, nullptr, &size)) return;
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    if (!TalloryGetPictureData(picture_, bytes.data(), &size)) return;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(bytes);
}

void PictureFrameEditor::resetPicture() {
    TalloryPutPictureData(picture_, nullptr, 0);
    picture_->SetMimeType(u"");
    mime->clear();
    showData();
}

void PictureFrameEditor::reject() {
    TalloryPutPictureData(picture_, original_.constData(), static_cast<uint32_t>(original_.size()));
    picture_->SetMimeType(utf16(originalMime_).c_str());
    QDialog::reject();
}

bool PictureFrameEditor::store() {
    if (description->text().isEmpty()) {
        refuse(QStringLiteral("Please enter description for attached picture."));
        return false;
    }
    if (mime->text().isEmpty()) {
        refuse(QStringLiteral("Please load a picture."));
        return false;
    }
    picture_->SetDescription(utf16(description->text()).c_str());
    picture_->SetMimeType(utf16(mime->text()).c_str());
    picture_->SetPictureType(type->currentIndex());
    return true;
}

// --- dispatch --------------------------------------------------------------------------------------

bool runFrameEditor(QWidget* parent, const TalloryTagFrameDialogContext& context) {
    IMetadataFrame* frame = context.frame;
    if (frame == nullptr) return false;
    IID kind{};
    frame->GetKindInterfaceId(&kind);
    const int id = context.frameId;
    std::unique_ptr<FrameEditor> editor;
    if (kind == IID_ITextFrame) {
        auto* text = static_cast<ITextFrame*>(frame);
        if (id == METADATA_FRAME_TCON) {
            editor = std::make_unique<GenreFrameEditor>(parent, text);
        } else if (id == METADATA_FRAME_TLAN) {
            editor = std::make_unique<LanguageFrameEditor>(parent, text);
        } else {
            editor = std::make_unique<TextFrameEditor>(parent, text, id);
        }
    } else if (kind == IID_IUserTextFrame) {
        // TXXX and COMM share the interface identifier; the frame identifier tells them apart.
        if (id == METADATA_FRAME_COMM) {
            editor = std::make_unique<CommentFrameEditor>(parent, static_cast<ICommentFrame*>(frame));
        } else {
            editor = std::make_unique<UserTextFrameEditor>(parent, static_cast<IUserTextFrame*>(frame));
        }
    } else if (kind == IID_IUrlFrame) {
        editor = std::make_unique<UrlFrameEditor>(parent, frame, false);
    } else if (kind == IID_IUserUrlFrame) {
        editor = std::make_unique<UrlFrameEditor>(parent, frame, true);
    } else if (kind == IID_IPictureFrame) {
        editor = std::make_unique<PictureFrameEditor>(parent, static_cast<IPictureFrame*>(frame));
    } else {
        return false;
    }
    editor->adjustSize();
    centreOver(editor.get(), parent);
    return editor->exec() == QDialog::Accepted;
}

}  // namespace tallory::ui
