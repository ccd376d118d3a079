// tallory-gui's window: adding a folder keeps readable files only, sorted, and
// the choices survive in the settings store.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "main_window.h"
#include "ui_test_support.h"

TEST(Gui, AddsReadableFilesOfAFolderAndKeepsItsChoices) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("b/deeper"));
    for (const char* name : {"b/deeper/z.wav", "a.mp3", "b/c.ogg", "notes.txt", "cover.jpg"}) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QString scheme;
    {
        tallory::gui::MainWindow w;
        w.addPaths({dir.path(), dir.filePath("missing.wav")});
        const QStringList got = w.paths();
        ASSERT_EQ(got.size(), 3) << got.join(' ').toStdString();
        EXPECT_TRUE(got[0].endsWith("/a.mp3"));
        EXPECT_TRUE(got[1].endsWith("/b/c.ogg"));
        EXPECT_TRUE(got[2].endsWith("/b/deeper/z.wav"));
        auto* list = w.findChild<QListWidget*>();
        ASSERT_NE(list, nullptr);
        list->item(0)->setSelected(true);  // the fake a.mp3: an empty tag, all rows empty
        auto* format = w.findChild<QComboBox*>();
        ASSERT_NE(format, nullptr);
        EXPECT_GE(format->findText("Ogg Vorbis"), 0);
        EXPECT_LT(format->findText("Track"), 0) << "only formats that can be written";
        format->setCurrentIndex(format->findText("Wave"));
        auto* edit = w.findChild<QLineEdit*>();
        ASSERT_NE(edit, nullptr);
        edit->setText(dir.filePath("out/<sourcename>"));
        scheme = edit->text();
        w.show();
        screenshot(&w, "tallory_gui");
    }
    tallory::gui::MainWindow again;
    EXPECT_EQ(again.findChild<QComboBox*>()->currentText(), "Wave");
    EXPECT_EQ(again.findChild<QLineEdit*>()->text(), scheme);
}
