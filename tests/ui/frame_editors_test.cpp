// The tag frame editors: every check of the text kinds through the dialog, the
// genre text, comments, URLs, pictures (with Cancel undoing), and an edited
// comment written to an MP3 file and read back by mutagen.
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <string>

#include <gtest/gtest.h>

#include "external_tools.h"
#include "tallory/metadata.h"
#include "tallory/ref.h"
#include "tallory/ui_bridge.h"
#include "ui/frame_editors.h"
#include "ui_test_support.h"

using tallory::Ref;
using namespace tallory::ui;

namespace {

template <class Frame>
Ref<Frame> makeFrame(int id, const IID& iid) {
    void* p = nullptr;
    EXPECT_EQ(MetadataCreateFrame(id, iid, &p), S_OK) << id;
    return Ref<Frame>(static_cast<Frame*>(p));
}

QString textOf(ITextFrame* f) {
    char16_t buffer[256] = {};
    f->GetText(buffer, 255);
    return QString::fromUtf16(buffer);
}

// Clicks OK and returns the error message it brought up ("" when none).
QString clickOk(FrameEditor& editor) {
    QString told;
    auto* watch = new QTimer();
    QObject::connect(watch, &QTimer::timeout, [watch, &told] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            told = box->text();
            EXPECT_EQ(box->windowTitle(), "Tallory");
            EXPECT_EQ(box->icon(), QMessageBox::Critical);
            box->accept();
        }
    });
    watch->start(10);
    editor.ok->click();
    watch->stop();
    delete watch;
    return told;
}

struct Case {
    int frameId;
    const char* entry;
    const char* problem;  // "" passes
};

}  // namespace

TEST(FrameEditors, TextKindChecksThroughTheDialog) {
    const QString years = "Please enter a number between 1800 and 2100.";
    const QString pairRange = "Please enter a number between 1 and 99.";
    const QString slash = "Please enter a number or two numbers separated by a slash.";
    const Case cases[] = {
        {METADATA_FRAME_TYER, "2004", ""},
        {METADATA_FRAME_TYER, "1799", "Please enter a number between 1800 and 2100."},
        {METADATA_FRAME_TYER, "2101", "Please enter a number between 1800 and 2100."},
        {METADATA_FRAME_TYER, "", "Please enter a number between 1800 and 2100."},
        {METADATA_FRAME_TYER, "2004a", "Please enter a valid number."},
        {METADATA_FRAME_TCOP, "2004 Some Label", ""},
        {METADATA_FRAME_TCOP, "Some Label 2004", "The copyright text must start with a year between 1800 and 2100."},
        {METADATA_FRAME_TDAT, "3112", ""},
        {METADATA_FRAME_TDAT, "0101", ""},
        {METADATA_FRAME_TDAT, "3212", "Please enter a numeric string in DDMM format."},
        {METADATA_FRAME_TDAT, "0013", "Please enter a numeric string in DDMM format."},
        {METADATA_FRAME_TDAT, "112", "Please enter a numeric string in DDMM format."},
        {METADATA_FRAME_TDAT, "01012", "Please enter a numeric string in DDMM format."},
        {METADATA_FRAME_TIME, "2359", ""},
        {METADATA_FRAME_TIME, "2400", "Please enter a numeric string in HHMM format."},
        {METADATA_FRAME_TIME, "0960", "Please enter a numeric string in HHMM format."},
        {METADATA_FRAME_TIME, "+123", "Please enter a numeric string in HHMM format."},
        {METADATA_FRAME_TRCK, "1", ""},
        {METADATA_FRAME_TRCK, "1/1", ""},
        {METADATA_FRAME_TRCK, "5/12", ""},
        {METADATA_FRAME_TRCK, "5/5", ""},
        {METADATA_FRAME_TRCK, "12/5", "The first number must be smaller than the second one."},
        {METADATA_FRAME_TRCK, "100", "Please enter a number between 1 and 99."},
        {METADATA_FRAME_TRCK, "0", "Please enter a number between 1 and 99."},
        {METADATA_FRAME_TRCK, "5/100", "Please enter a number between 1 and 99."},
        {METADATA_FRAME_TRCK, "1-2", "Please enter a number or two numbers separated by a slash."},
        {METADATA_FRAME_TPOS, "3/12a", "Please enter a number or two numbers separated by a slash."},
        {METADATA_FRAME_TIT2, "", ""},
    };
    for (const Case& c : cases) {
        Ref<ITextFrame> frame = makeFrame<ITextFrame>(c.frameId, IID_ITextFrame);
        frame->SetText(u"previous");
        TextFrameEditor editor(nullptr, frame.get(), c.frameId);
        EXPECT_EQ(editor.windowTitle(), "Edit Text");
        EXPECT_EQ(editor.label->text(), QString::fromUtf8(frame->GetName()) + ":");
        EXPECT_EQ(editor.edit->text(), "previous");
        editor.edit->setText(QString::fromUtf8(c.entry));
        const QString told = clickOk(editor);
        EXPECT_EQ(told, QString::fromUtf8(c.problem)) << c.frameId << " " << c.entry;
        if (*c.problem == '\0') {
            EXPECT_EQ(editor.result(), QDialog::Accepted);
            EXPECT_EQ(textOf(frame.get()), QString::fromUtf8(c.entry));
        } else {
            // Refused: the dialog stays, and Cancel leaves the previous text.
            EXPECT_NE(editor.result(), QDialog::Accepted);
            editor.cancel->click();
            EXPECT_EQ(textOf(frame.get()), "previous") << c.entry;
        }
    }
    Ref<ITextFrame> artist = makeFrame<ITextFrame>(METADATA_FRAME_TPE1, IID_ITextFrame);
    TextFrameEditor editor(nullptr, artist.get(), METADATA_FRAME_TPE1);
    EXPECT_EQ(editor.description->text(), "Used for the main artist(s).");
    // Long entries are not cut.
    const QString longText(5000, QChar('x'));
    editor.edit->setText(longText);
    EXPECT_EQ(clickOk(editor), "");
    char16_t buffer[6000] = {};
    artist->GetText(buffer, 5999);
    EXPECT_EQ(QString::fromUtf16(buffer).size(), 5000);
    screenshot(&editor, "edit_text");
}

TEST(FrameEditors, GenreTextFromTheList) {
    EXPECT_EQ(genreText({"Rock", "Metal", "Live"}), "(17)(9)Live");
    EXPECT_EQ(genreText({"(Live)"}), "((Live)");
    EXPECT_EQ(genreText({"rock"}), "rock") << "names match with their case";
    EXPECT_EQ(genreText({"  Rock  "}), "(17)");

    Ref<ITextFrame> frame = makeFrame<ITextFrame>(METADATA_FRAME_TCON, IID_ITextFrame);
    frame->SetText(u"(17)Live");
    {
        GenreFrameEditor editor(nullptr, frame.get());
        EXPECT_EQ(editor.windowTitle(), "Content Type / Genre");
        EXPECT_EQ(editor.genre->count(), 80);
        ASSERT_EQ(editor.list->count(), 2);
        EXPECT_EQ(editor.list->item(0)->text(), "Rock");
        editor.genre->setEditText("Metal");
        editor.addEntry();
        editor.genre->setEditText("li");  // selects the entry that begins with it
        editor.addEntry();
        EXPECT_EQ(editor.list->count(), 3);
        EXPECT_EQ(editor.list->currentRow(), 1);
        editor.genre->setEditText("Bootleg");
        editor.addEntry();
        screenshot(&editor, "edit_genre");
        EXPECT_EQ(clickOk(editor), "");
        EXPECT_EQ(textOf(frame.get()).toStdString(), "(17)Live(9)Bootleg");
    }
    {
        GenreFrameEditor editor(nullptr, frame.get());
        ASSERT_EQ(editor.list->count(), 4);
        EXPECT_EQ(editor.list->item(2)->text().toStdString(), "Metal");
        // Two free texts in a row are kept apart, so that they reopen as two entries.
        editor.list->setCurrentRow(2);
        editor.remove->click();
        editor.list->setCurrentRow(0);
        editor.remove->click();
        EXPECT_EQ(clickOk(editor), "");
        EXPECT_EQ(textOf(frame.get()).toStdString(), "Live, Bootleg");
    }
    {
        GenreFrameEditor editor(nullptr, frame.get());
        ASSERT_EQ(editor.list->count(), 2);
        EXPECT_EQ(editor.list->item(0)->text().toStdString(), "Live");
        EXPECT_EQ(editor.list->item(1)->text().toStdString(), "Bootleg");
        while (editor.list->count() > 0) {
            editor.list->setCurrentRow(0);
            editor.remove->click();
        }
        EXPECT_EQ(clickOk(editor), "Please enter/select at least one genre and click Add.");
        editor.cancel->click();
    }
}

TEST(FrameEditors, CommentUserTextAndUrls) {
    Ref<ICommentFrame> comment = makeFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    {
        CommentFrameEditor editor(nullptr, comment.get());
        EXPECT_GT(editor.language->count(), 5);
        EXPECT_TRUE(editor.language->currentText().startsWith("English")) << "the default language is selected";
        EXPECT_EQ(clickOk(editor), "Please enter a comment.");
        editor.description->setText("note");
        editor.text->setPlainText("Recorded live\nin one take");
        editor.language->setCurrentIndex(editor.language->findText("German (Germany)"));
        screenshot(&editor, "edit_comment");
        EXPECT_EQ(clickOk(editor), "");
    }
    char16_t lang[8] = {};
    comment->GetLanguage(lang, 7);
    EXPECT_EQ(QString::fromUtf16(lang), "ger") << "ISO 639-2, lower case";

    Ref<IUserTextFrame> user = makeFrame<IUserTextFrame>(METADATA_FRAME_TXXX, IID_IUserTextFrame);
    {
        UserTextFrameEditor editor(nullptr, user.get());
        editor.description->setText("MOOD");
        editor.text->setText("calm");
        EXPECT_EQ(clickOk(editor), "");
        char16_t b[32] = {};
        user->GetDescription(b, 31);
        EXPECT_EQ(QString::fromUtf16(b), "MOOD");
        std::fill(std::begin(b), std::end(b), u'\0');
        user->GetText(b, 31);
        EXPECT_EQ(QString::fromUtf16(b), "calm");
    }

    Ref<IUrlFrame> url = makeFrame<IUrlFrame>(METADATA_FRAME_WPUB, IID_IUrlFrame);
    {
        UrlFrameEditor editor(nullptr, url.get(), false);
        EXPECT_EQ(editor.windowTitle(), "Edit URL");
        editor.url->setText("not a url");
        EXPECT_EQ(clickOk(editor), "Please enter a valid URL.");
        editor.url->setText("");
        EXPECT_EQ(clickOk(editor), "Please enter a valid URL.");
        editor.url->setText("https://label.example/");
        screenshot(&editor, "edit_url");
        EXPECT_EQ(clickOk(editor), "");
        char16_t b[64] = {};
        url->GetUrl(b, 63);
        EXPECT_EQ(QString::fromUtf16(b), "https://label.example/");
    }
    Ref<IUserUrlFrame> userUrl = makeFrame<IUserUrlFrame>(METADATA_FRAME_WXXX, IID_IUserUrlFrame);
    {
        UrlFrameEditor editor(nullptr, userUrl.get(), true);
        editor.url->setText("mailto:band@example.org");
        EXPECT_EQ(clickOk(editor), "Please enter description for user-defined URL link.");
        editor.description->setText("Fan mail");
        screenshot(&editor, "edit_user_url");
        EXPECT_EQ(clickOk(editor), "");
    }
}

TEST(FrameEditors, PictureLoadResetAndCancelUndoes) {
    QTemporaryDir dir;
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QString png = dir.filePath("cover.png"), gif = dir.filePath("anim.gif"), txt = dir.filePath("notes.txt");
    ASSERT_TRUE(image.save(png));
    { QFile f(gif); f.open(QIODevice::WriteOnly); f.write(QByteArray("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14)); }
    { QFile f(txt); f.open(QIODevice::WriteOnly); f.write("text"); }
    QFile pngFile(png);
    ASSERT_TRUE(pngFile.open(QIODevice::ReadOnly));
    const QByteArray pngBytes = pngFile.readAll();

    Ref<IPictureFrame> pic = makeFrame<IPictureFrame>(METADATA_FRAME_APIC, IID_IPictureFrame);
    {
        PictureFrameEditor editor(nullptr, pic.get());
        EXPECT_FALSE(editor.save->isEnabled());
        EXPECT_FALSE(editor.reset->isEnabled());
        EXPECT_EQ(editor.type->count(), 21);
        EXPECT_EQ(editor.type->itemText(6), "Media (e.g. lable side of CD)");
        QString told;
        whenModal([&](QWidget* w) { told = qobject_cast<QMessageBox*>(w)->text(); qobject_cast<QMessageBox*>(w)->accept(); });
        editor.loadFile(txt);
        EXPECT_EQ(told, "The selected file is not a picture.");
        editor.loadFile(png);
        EXPECT_EQ(editor.mime->text(), "image/png");
        EXPECT_EQ(editor.data->text(), QString::asprintf("(%d bytes)", static_cast<int>(pngBytes.size())));
        EXPECT_TRUE(editor.save->isEnabled());
        EXPECT_EQ(clickOk(editor), "Please enter description for attached picture.");
        editor.description->setText("front");
        editor.type->setCurrentIndex(3);
        screenshot(&editor, "edit_picture");
        EXPECT_EQ(clickOk(editor), "");
        editor.saveFile(dir.filePath("out.jpg"));
        QFile saved(dir.filePath("out.jpg"));
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        EXPECT_EQ(saved.readAll(), pngBytes) << "saved as it is";
    }
    EXPECT_EQ(pic->GetPictureType(), 3);
    {
        // Load a GIF (with the advice first), then Reset, then Cancel: the PNG comes back.
        PictureFrameEditor editor(nullptr, pic.get());
        QString told;
        whenModal([&](QWidget* w) { told = qobject_cast<QMessageBox*>(w)->text(); qobject_cast<QMessageBox*>(w)->accept(); });
        editor.loadFile(gif);
        EXPECT_TRUE(told.startsWith("You should use the PNG or JPEG picture format")) << told.toStdString();
        EXPECT_EQ(editor.mime->text(), "image/gif");
        editor.resetPicture();
        EXPECT_EQ(editor.mime->text(), "");
        EXPECT_FALSE(editor.reset->isEnabled());
        uint32_t size = 1;
        ASSERT_TRUE(TalloryGetPictureData(pic.get(), nullptr, &size));
        EXPECT_EQ(size, 0u);
        editor.cancel->click();
    }
    uint32_t size = 0;
    ASSERT_TRUE(TalloryGetPictureData(pic.get(), nullptr, &size));
    QByteArray back(static_cast<qsizetype>(size), '\0');
    ASSERT_TRUE(TalloryGetPictureData(pic.get(), back.data(), &size));
    EXPECT_EQ(back, pngBytes);
    char16_t mime[32] = {};
    pic->GetMimeType(mime, 31);
    EXPECT_EQ(QString::fromUtf16(mime), "image/png");
}

TEST(FrameEditors, EditThroughTheFrameAndMutagenReadsTheResult) {
    QTemporaryDir dir;
    const std::string mp3 = dir.filePath("song.mp3").toStdString();
    int status = 0;
    runCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1 -c:a libmp3lame '" + mp3 + "' 2>&1", &status);
    ASSERT_EQ(status, 0) << "ffmpeg makes the MP3";
    IMetadataFile* fileRaw = nullptr;
    ASSERT_EQ(MetadataCreateFromFile(mp3.c_str(), &fileRaw), S_OK);
    Ref<IMetadataFile> file(fileRaw);
    Ref<IMetadataTag> tag;
    ASSERT_EQ(file->ReadTag(tag.out()), S_OK);

    Ref<ICommentFrame> comment = makeFrame<ICommentFrame>(METADATA_FRAME_COMM, IID_ICommentFrame);
    comment->AttachTo(tag.get());
    whenModal([](QWidget* w) {
        auto* e = dynamic_cast<CommentFrameEditor*>(w);
        ASSERT_NE(e, nullptr);
        e->text->setPlainText("edited in the dialog");
        e->language->setCurrentIndex(e->language->findText("English (United Kingdom)"));
        e->ok->click();
    });
    EXPECT_EQ(comment->Edit(nullptr), IDOK);
    Ref<ITextFrame> year = makeFrame<ITextFrame>(METADATA_FRAME_TYER, IID_ITextFrame);
    year->AttachTo(tag.get());
    whenModal([](QWidget* w) {
        auto* e = dynamic_cast<TextFrameEditor*>(w);
        ASSERT_NE(e, nullptr);
        e->edit->setText("1999");
        e->ok->click();
    });
    EXPECT_EQ(year->Edit(nullptr), IDOK);
    whenModal([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
    EXPECT_EQ(year->Edit(nullptr), IDCANCEL);
    ASSERT_EQ(file->WriteTag(tag.get()), S_OK);

    const std::string script =
        "import mutagen.id3 as m; t = m.ID3('" + mp3 + "'); c = t.getall('COMM')[0]; "
        "print(c.lang + '|' + c.text[0] + '|' + str(t.get('TYER') or t.get('TDRC')))";
    EXPECT_EQ(runCommand("/usr/bin/python3 -c \"" + script + "\""), "eng|edited in the dialog|1999\n");
}
