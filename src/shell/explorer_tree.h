// The folder tree controller over a QTreeWidget: folders only, filled when a
// branch opens, sorted as a file manager sorts, with file-manager actions.
#ifndef TALLORY_SHELL_EXPLORER_TREE_H
#define TALLORY_SHELL_EXPLORER_TREE_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "tallory/ui.h"

class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace tallory::shell {

class ExplorerTree final : public QObject, public IExplorerTree {
public:
    ExplorerTree(QWidget* owner, QTreeWidget* tree);
    ~ExplorerTree() override;

    int OnNotify(int, int, void*) override { return 0; }
    int GetPath(char* buffer, int size) override;
    void SelectPath(const char* path) override;
    void ForwardMenuMessage(uint32_t, uintptr_t, intptr_t) override {}
    void Reset() override;
    void RefreshSelected() override;
    void Destroy() override;

    // The path an item stands for ("" for a place with no folder of its own).
    static QString pathOf(const QTreeWidgetItem* item);
    // The actions of the context menu, by name, for the item.
    void newFolder(QTreeWidgetItem* item, const QString& name);
    void rename(QTreeWidgetItem* item, const QString& name);
    bool moveToTrash(QTreeWidgetItem* item);
    QString selectedPath() const { return selected_; }

private:
    QTreeWidgetItem* makeItem(const QString& text, const QString& path, const QString& iconName);
    void fill(QTreeWidgetItem* item);
    void refresh(QTreeWidgetItem* item);
    void sortChildren(QTreeWidgetItem* item);
    void showMenu(const QPoint& at);
    void selectionChanged();

    QPointer<QWidget> owner_;
    QPointer<QTreeWidget> tree_;
    QString selected_;
    bool tracking_ = true;
};

}  // namespace tallory::shell

#endif
