// tallory-gui's window: files to convert, the output format and its settings,
// the naming scheme, normalize and delete-sources, and Convert.
#ifndef TALLORY_GUI_MAIN_WINDOW_H
#define TALLORY_GUI_MAIN_WINDOW_H

#include <QMainWindow>
#include <QStringList>

#include "tallory/conv.h"
#include "tallory/ref.h"
#include "tallory/ui.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;

namespace tallory::gui {

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    // Files and folders (searched recursively) whose format can be read.
    void addPaths(const QStringList& paths);
    QStringList paths() const;

private:
    void chooseFiles();
    void chooseFolder();
    void showSettings();
    void convert();
    void refreshButtons();
    void saveChoices();
    void applyPrototype(IConvTarget* target);
    const CLSID* targetClass() const;
    void showTags();
    bool askToSaveTags();

    QListWidget* files_ = nullptr;
    QPushButton* remove_ = nullptr;
    QComboBox* format_ = nullptr;
    QLineEdit* scheme_ = nullptr;
    QCheckBox* normalize_ = nullptr;
    QCheckBox* deleteSources_ = nullptr;
    QPushButton* convert_ = nullptr;
    // The settings of a format without stored defaults live in this target.
    Ref<IConvTarget> prototype_;
    bool busy_ = false;
    QTreeWidget* folders_ = nullptr;
    IExplorerTree* explorer_ = nullptr;
    QTreeWidget* tagView_ = nullptr;
    QPushButton* saveTags_ = nullptr;
    Ref<IMetadataListView> tags_;
};

}  // namespace tallory::gui

#endif
