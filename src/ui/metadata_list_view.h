// The tag list view: every frame kind as one row under "Audio Information" and
// "Extended Information", with the value the files share, editing through
// the frame editors, removal, and giving all files one file's value.
#ifndef TALLORY_UI_METADATA_LIST_VIEW_H
#define TALLORY_UI_METADATA_LIST_VIEW_H

#include <QObject>
#include <QPointer>

#include <atomic>
#include <vector>

#include "tallory/ref.h"
#include "tallory/ui.h"

class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

namespace tallory::ui {

class MetadataListView final : public QObject, public IMetadataListView {
public:
    MetadataListView() = default;
    ~MetadataListView() override;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    uint32_t AddRef() override { return ++references_; }
    uint32_t Release() override;
    int Attach(HWND treeWidget) override;
    int SetFile(IMetadataFile* file) override;
    HRESULT SetFiles(IMetadataFile** files, int count) override;
    HRESULT Save() override;
    HRESULT EditSelected() override;
    HRESULT RemoveSelected() override;
    HRESULT RemoveAll() override;
    intptr_t OnNotify(void*) override { return 0; }
    int IsModified() override { return modified_ ? 1 : 0; }

    // The row of a frame identifier, or null.
    QTreeWidgetItem* rowOf(int frameId) const;
    // The context menu of a row (null item: the list's menu); empty when read-only.
    // Its value entries carry the index of their tag (0 the main tag) as data.
    QMenu* menuFor(QTreeWidgetItem* item);
    // Gives every tag a copy of the frame that tag `source` has for the row.
    void applyValue(int frameId, int source);
    bool readOnly() const { return readOnly_; }

private:
    std::vector<IMetadataTag*> tags() const;
    void buildRows();
    void refreshRow(QTreeWidgetItem* row);
    void editRow(QTreeWidgetItem* row);
    void removeRow(QTreeWidgetItem* row);
    QWidget* parentWindow() const;

    std::atomic<uint32_t> references_{1};
    QPointer<QTreeWidget> view_;
    Ref<IMetadataFile> file_;
    Ref<IMetadataTag> tag_;
    std::vector<Ref<IMetadataFile>> moreFiles_;
    std::vector<Ref<IMetadataTag>> moreTags_;
    bool readOnly_ = false;
    bool modified_ = false;
};

}  // namespace tallory::ui

#endif
