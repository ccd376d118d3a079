// The folder tree over a temporary folder tree: lazy filling, folders only,
// leaves without an expand mark, refreshing after a folder went, SelectPath
// and GetPath's bounds.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "shell/explorer_tree.h"
#include "tallory/ui.h"
#include "ui_test_support.h"

using tallory::shell::ExplorerTree;

namespace {

QTreeWidgetItem* childNamed(QTreeWidgetItem* item, const QString& name) {
    for (int i = 0; i < item->childCount(); ++i) {
        if (item->child(i)->text(0) == name) return item->child(i);
    }
    return nullptr;
}

QStringList childNames(QTreeWidgetItem* item) {
    QStringList names;
    for (int i = 0; i < item->childCount(); ++i) names << item->child(i)->text(0);
    return names;
}

}  // namespace

TEST(ExplorerTree, BrowsesATemporaryFolderTree) {
    QTemporaryDir dir;
    QDir base(dir.path());
    for (const char* p : {"music/album 10/tmp", "music/album 9", "music/Album 2/disc", "empty", "music/album 9/cd1"}) {
        ASSERT_TRUE(base.mkpath(p));
    }
    QFile(base.filePath("music/song.mp3")).open(QIODevice::WriteOnly);

    QTreeWidget widget;
    IExplorerTree* tree = nullptr;
    EXPECT_EQ(CreateExplorerTree(nullptr, nullptr, &widget), E_INVALIDARG);
    ASSERT_EQ(CreateExplorerTree(&tree, nullptr, &widget), S_OK);
    tree->Reset();
    ASSERT_EQ(widget.topLevelItemCount(), 1);
    QTreeWidgetItem* root = widget.topLevelItem(0);
    EXPECT_EQ(root->text(0), "Desktop");
    EXPECT_TRUE(root->isExpanded());
    EXPECT_NE(childNamed(root, "Home"), nullptr);
    EXPECT_NE(childNamed(root, "File System"), nullptr);
    EXPECT_TRUE(root->child(0)->isExpanded()) << "the first place opens too";

    tree->SelectPath(base.filePath("music").toUtf8().constData());
    QTreeWidgetItem* music = widget.currentItem();
    ASSERT_NE(music, nullptr);
    EXPECT_EQ(music->text(0), "music");
    char path[4096];
    EXPECT_EQ(tree->GetPath(path, sizeof path), 1);
    EXPECT_EQ(QString::fromUtf8(path), base.filePath("music"));
    // A buffer too small: 0 and an empty string, never a cut path.
    char small[8] = "xxxxxxx";
    EXPECT_EQ(tree->GetPath(small, sizeof small), 0);
    EXPECT_STREQ(small, "");

    music->setExpanded(true);
    // Folders only, in a file manager's order: numbers by value, case ignored.
    EXPECT_EQ(childNames(music), (QStringList{"Album 2", "album 9", "album 10"}));
    QTreeWidgetItem* ten = childNamed(music, "album 10");
    EXPECT_EQ(ten->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    // An expand mark that turns out empty goes when the branch first opens.
    ASSERT_TRUE(QDir(base.filePath("music/album 10/tmp")).removeRecursively());
    ten->setExpanded(true);
    EXPECT_EQ(ten->childCount(), 0);
    EXPECT_EQ(ten->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator);
    EXPECT_FALSE(ten->isExpanded());
    QTreeWidgetItem* two = childNamed(music, "Album 2");
    two->setExpanded(true);
    ASSERT_EQ(childNames(two), QStringList{"disc"});
    EXPECT_EQ(two->child(0)->childIndicatorPolicy(), QTreeWidgetItem::DontShowIndicator) << "a leaf has no expand mark";

    // A folder deleted outside: refreshing its parent removes it; an expanded sibling stays expanded, refreshed.
    QTreeWidgetItem* nine = childNamed(music, "album 9");
    nine->setExpanded(true);
    ASSERT_EQ(childNames(nine), QStringList{"cd1"});
    ASSERT_TRUE(base.mkpath("music/album 9/cd2"));
    ASSERT_TRUE(QDir(base.filePath("music/Album 2")).removeRecursively());
    widget.setCurrentItem(music);
    tree->RefreshSelected();
    EXPECT_EQ(childNames(music), (QStringList{"album 9", "album 10"}));
    EXPECT_TRUE(nine->isExpanded());
    EXPECT_EQ(childNames(nine), (QStringList{"cd1", "cd2"}));

    // SelectPath expands the way down; an unknown path selects nothing.
    widget.collapseAll();
    tree->SelectPath(base.filePath("music/album 9/cd2").toUtf8().constData());
    ASSERT_NE(widget.currentItem(), nullptr);
    EXPECT_EQ(widget.currentItem()->text(0), "cd2");
    EXPECT_TRUE(widget.currentItem()->parent()->isExpanded());
    QTreeWidgetItem* before = widget.currentItem();
    tree->SelectPath(base.filePath("music/nowhere").toUtf8().constData());
    tree->SelectPath(nullptr);
    EXPECT_EQ(widget.currentItem(), before);

    // The file-manager actions.
    auto* impl = static_cast<ExplorerTree*>(tree);
    impl->newFolder(music, "fresh");
    EXPECT_TRUE(QFileInfo(base.filePath("music/fresh")).isDir());
    EXPECT_NE(childNamed(music, "fresh"), nullptr);
    impl->rename(childNamed(music, "fresh"), "renamed");
    EXPECT_TRUE(QFileInfo(base.filePath("music/renamed")).isDir());
    EXPECT_EQ(childNamed(music, "fresh"), nullptr);
    EXPECT_NE(childNamed(music, "renamed"), nullptr);
    EXPECT_TRUE(impl->moveToTrash(childNamed(music, "renamed")));
    EXPECT_FALSE(QFileInfo::exists(base.filePath("music/renamed")));
    EXPECT_EQ(childNamed(music, "renamed"), nullptr);

    widget.resize(320, 420);
    widget.show();
    screenshot(&widget, "explorer_tree");
    tree->Destroy();
    EXPECT_EQ(widget.topLevelItemCount(), 0);
}
