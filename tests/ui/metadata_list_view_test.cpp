// The tag list view over two MP3 files whose artists differ (tagged and read
// back by mutagen): shared and greyed rows, the menu of values, choosing one,
// Save; read-only rows and section rows.
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <string>

#include <gtest/gtest.h>

#include "external_tools.h"
#include "tallory/ref.h"
#include "tallory/ui.h"
#include "ui/metadata_list_view.h"
#include "ui_test_support.h"

using tallory::Ref;
using tallory::ui::MetadataListView;

namespace {

std::string makeTaggedMp3(const QTemporaryDir& dir, const std::string& name, const std::string& artist) {
    const std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    int status = 0;
    runCommand("ffmpeg -v error -f lavfi -i sine=frequency=440:duration=1 -c:a libmp3lame '" + path + "' 2>&1", &status);
    EXPECT_EQ(status, 0);
    runCommand("/usr/bin/python3 -c \"import mutagen.id3 as m; t = m.ID3(); t.add(m.TPE1(encoding=3, text=['" + artist +
                   "'])); t.add(m.TIT2(encoding=3, text=['Song'])); t.save('" + path + "', v2_version=3)\"",
               &status);
    EXPECT_EQ(status, 0) << "mutagen tags the file";
    return path;
}

std::string mutagenArtist(const std::string& path) {
    return runCommand("/usr/bin/python3 -c \"import mutagen.id3 as m; print(m.ID3('" + path + "')['TPE1'].text[0])\"");
}

Ref<IMetadataFile> open(const std::string& path) {
    IMetadataFile* f = nullptr;
    EXPECT_EQ(MetadataCreateFromFile(path.c_str(), &f), S_OK);
    return Ref<IMetadataFile>(f);
}

}  // namespace

TEST(MetadataListView, TwoFilesWithDifferentArtists) {
    QTemporaryDir dir;
    const std::string a = makeTaggedMp3(dir, "a.mp3", "First Artist");
    const std::string b = makeTaggedMp3(dir, "b.mp3", "Second Artist");
    Ref<IMetadataFile> fa = open(a), fb = open(b);

    QTreeWidget widget;
    IMetadataListView* raw = nullptr;
    EXPECT_EQ(CreateMetaDataLV(nullptr), E_INVALIDARG);
    ASSERT_EQ(CreateMetaDataLV(&raw), S_OK);
    Ref<IMetadataListView> view(raw);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(view->QueryInterface(IID_IMetadataListView, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();
    view->Attach(&widget);
    IMetadataFile* files[] = {fa.get(), fb.get()};
    EXPECT_EQ(view->SetFiles(files, 0), E_INVALIDARG);
    ASSERT_EQ(view->SetFiles(files, 2), S_OK);
    auto* impl = static_cast<MetadataListView*>(view.get());

    EXPECT_EQ(widget.headerItem()->text(0), "Tag");
    EXPECT_EQ(widget.headerItem()->text(1), "Value");
    EXPECT_EQ(widget.topLevelItem(0)->text(0), "Audio Information");
    EXPECT_EQ(widget.topLevelItem(0)->font(0).weight(), QFont::Bold);
    // The main frames sit under "Audio Information", TYER first, COMM last.
    EXPECT_EQ(widget.topLevelItem(1)->data(0, Qt::UserRole).toInt(), METADATA_FRAME_TYER);
    EXPECT_EQ(widget.topLevelItem(7)->data(0, Qt::UserRole).toInt(), METADATA_FRAME_COMM);
    EXPECT_EQ(widget.topLevelItem(8)->text(0), "Extended Information");
    const int rows = widget.topLevelItemCount();

    QTreeWidgetItem* title = impl->rowOf(METADATA_FRAME_TIT2);
    QTreeWidgetItem* artist = impl->rowOf(METADATA_FRAME_TPE1);
    ASSERT_NE(title, nullptr);
    ASSERT_NE(artist, nullptr);
    EXPECT_EQ(title->text(1), "Song") << "the files share it";
    EXPECT_EQ(artist->text(1), "") << "the files differ: no value";
    EXPECT_NE(artist->foreground(0).color(), title->foreground(0).color()) << "and a greyed row";
    EXPECT_EQ(artist->toolTip(0), "Used for the main artist(s).");
    widget.resize(420, 520);
    widget.show();
    screenshot(&widget, "metadata_list_view");

    // The menu lists both values; choosing the second gives both files that value.
    std::unique_ptr<QMenu> menu(impl->menuFor(artist));
    QStringList texts;
    QAction* second = nullptr;
    for (QAction* action : menu->actions()) {
        texts << action->text();
        if (action->text() == "Second Artist") second = action;
    }
    EXPECT_EQ(texts, (QStringList{"First Artist", "Second Artist", "", "&Edit", "&Remove"}));
    ASSERT_NE(second, nullptr);
    impl->applyValue(METADATA_FRAME_TPE1, second->data().toInt());
    EXPECT_EQ(artist->text(1), "Second Artist");
    EXPECT_EQ(view->IsModified(), 1);
    EXPECT_EQ(view->Save(), S_OK);
    EXPECT_EQ(view->IsModified(), 0);
    EXPECT_EQ(mutagenArtist(a), "Second Artist\n");
    EXPECT_EQ(mutagenArtist(b), "Second Artist\n");

    // Read-only frames: Edit greyed, no values; section rows edit nothing.
    std::unique_ptr<QMenu> lengthMenu(impl->menuFor(impl->rowOf(METADATA_FRAME_TLEN)));
    ASSERT_FALSE(lengthMenu->actions().isEmpty());
    EXPECT_EQ(lengthMenu->actions().front()->text(), "&Edit");
    EXPECT_FALSE(lengthMenu->actions().front()->isEnabled());
    widget.setCurrentItem(widget.topLevelItem(0));
    EXPECT_EQ(view->EditSelected(), E_FAIL);
    EXPECT_EQ(view->RemoveSelected(), E_FAIL);
    widget.setCurrentItem(impl->rowOf(METADATA_FRAME_TLEN));
    EXPECT_EQ(view->EditSelected(), 0);  // opens nothing for a read-only frame

    // Remove one frame from every file, then reload: the row is empty.
    widget.setCurrentItem(title);
    EXPECT_EQ(view->RemoveSelected(), 0);
    EXPECT_EQ(impl->rowOf(METADATA_FRAME_TIT2)->text(1), "");
    EXPECT_EQ(view->Save(), S_OK);
    EXPECT_EQ(runCommand("/usr/bin/python3 -c \"import mutagen.id3 as m; print('TIT2' in m.ID3('" + b + "'))\""), "False\n");

    // A new file replaces the rows instead of adding a second set.
    view->SetFile(fa.get());
    EXPECT_EQ(widget.topLevelItemCount(), rows);
    EXPECT_EQ(impl->rowOf(METADATA_FRAME_TPE1)->text(1), "Second Artist");
}

TEST(MetadataListView, SaveFailureIsToldAndReturned) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("gone"));
    const std::string path = makeTaggedMp3(dir, "gone/c.mp3", "Someone");
    Ref<IMetadataFile> file = open(path);
    QTreeWidget widget;
    IMetadataListView* raw = nullptr;
    ASSERT_EQ(CreateMetaDataLV(&raw), S_OK);
    Ref<IMetadataListView> view(raw);
    EXPECT_EQ(view->Save(), E_INVALIDARG) << "nothing set yet";
    view->Attach(&widget);
    view->SetFile(file.get());
    EXPECT_EQ(static_cast<MetadataListView*>(view.get())->rowOf(METADATA_FRAME_TPE1)->text(1), "Someone");
    widget.setCurrentItem(static_cast<MetadataListView*>(view.get())->rowOf(METADATA_FRAME_TPE1));
    view->RemoveSelected();
    // The file's folder goes before the tag is written.
    ASSERT_TRUE(QDir(dir.filePath("gone")).removeRecursively());
    QString told;
    whenModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        told = box->text();
        box->accept();
    });
    EXPECT_TRUE(FAILED(view->Save()));
    EXPECT_EQ(told, "At least one file could not be saved. Please make sure it is not used by other applications.");
    EXPECT_EQ(view->IsModified(), 1) << "still unsaved";
}
