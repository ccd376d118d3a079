#include "shell/explorer_tree.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <new>

#include "core/export_guard.h"
#include "ui/link_opener.h"
#include "ui/ui_helpers.h"

namespace tallory::shell {

namespace {

using core::guardExport;
using core::guardExportVoid;

constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;
// A folder with more subfolders than this shows the first ones only.
constexpr int kMaxChildren = 20000;

QDir::Filters folderFilter() { return QDir::Dirs | QDir::NoDotAndDotDot | QDir::Readable; }

bool hasSubfolders(const QString& path) {
    QDir dir(path);
    dir.setFilter(folderFilter());
    return !dir.entryList().isEmpty();
}

QIcon themed(const QString& name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(name, QApplication::style()->standardIcon(fallback));
}

// As file managers sort: runs of digits by their value, the rest by the
// user's collation without regard to case.
bool naturalLess(const QString& a, const QString& b) {
    static const QCollator collator = [] {
        QCollator c;
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = a[i].isDigit(), db = b[j].isDigit();
        qsizetype ei = i, ej = j;
        while (ei < a.size() && a[ei].isDigit() == da) ++ei;
        while (ej < b.size() && b[ej].isDigit() == db) ++ej;
        const QString ra = a.mid(i, ei - i), rb = b.mid(j, ej - j);
        if (da && db) {
            // Without leading zeros, a longer run is the larger number.
            QString na = ra, nb = rb;
            while (na.size() > 1 && na[0] == '0') na.remove(0, 1);
            while (nb.size() > 1 && nb[0] == '0') nb.remove(0, 1);
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
        } else {
            const int c = collator.compare(ra, rb);
            if (c != 0) return c < 0;
        }
        i = ei;
        j = ej;
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;
}

class FolderItem : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    bool operator<(const QTreeWidgetItem& other) const override { return naturalLess(text(0), other.text(0)); }
};

}  // namespace

ExplorerTree::ExplorerTree(QWidget* owner, QTreeWidget* tree) : owner_(owner), tree_(tree) {
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(tree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (!item->data(0, kFilledRole).toBool()) fill(item);
    });
    connect(tree, &QTreeWidget::itemSelectionChanged, this, [this] { selectionChanged(); });
    connect(tree, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { showMenu(at); });
}

ExplorerTree::~ExplorerTree() {
    tracking_ = false;
    if (tree_ != nullptr) {
        disconnect(tree_, nullptr, this, nullptr);
        tree_->clear();
    }
}

void ExplorerTree::Destroy() { delete this; }

QString ExplorerTree::pathOf(const QTreeWidgetItem* item) {
    return item != nullptr ? item->data(0, kPathRole).toString() : QString();
}

QTreeWidgetItem* ExplorerTree::makeItem(const QString& text, const QString& path, const QString& iconName) {
    auto* item = new FolderItem(QStringList{text});
    item->setData(0, kPathRole, path);
    item->setData(0, kFilledRole, false);
    item->setIcon(0, themed(iconName, QStyle::SP_DirIcon));
    item->setChildIndicatorPolicy(!path.isEmpty() && hasSubfolders(path) ? QTreeWidgetItem::ShowIndicator
                                                                          : QTreeWidgetItem::DontShowIndicator);
    return item;
}

void ExplorerTree::Reset() {
    guardExportVoid("IExplorerTree::Reset", [&] {
        if (tree_ == nullptr) return;
        tracking_ = false;
        tree_->clear();
        tracking_ = true;
        selected_.clear();
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        const QString home = QDir::homePath();
        // The root stands for the desktop: the places a file manager lists first.
        QTreeWidgetItem* root = makeItem(QStringLiteral("Desktop"), QFileInfo(desktop).isDir() ? desktop : QString(),
                                         QStringLiteral("user-desktop"));
        root->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        root->setData(0, kFilledRole, true);
        tree_->addTopLevelItem(root);
        QStringList seen;
        auto place = [&](const QString& text, const QString& path, const QString& icon) {
            const QString clean = QDir::cleanPath(path);
            if (path.isEmpty() || !QFileInfo(clean).isDir() || seen.contains(clean)) return;
            seen << clean;
            root->addChild(makeItem(text, clean, icon));
        };
        place(QStringLiteral("Home"), home, QStringLiteral("user-home"));
        const struct {
            QStandardPaths::StandardLocation location;
            const char* icon;
        } userFolders[] = {{QStandardPaths::DesktopLocation, "user-desktop"},
                           {QStandardPaths::DocumentsLocation, "folder-documents"},
                           {QStandardPaths::DownloadLocation, "folder-download"},
                           {QStandardPaths::MusicLocation, "folder-music"},
                           {QStandardPaths::PicturesLocation, "folder-pictures"},
                           {QStandardPaths::MoviesLocation, "folder-videos"}};
        for (const auto& f : userFolders) {
            const QString path = QStandardPaths::writableLocation(f.location);
            if (QDir::cleanPath(path) == QDir::cleanPath(home)) continue;  // XDG puts unset folders at Home
            place(QFileInfo(path).fileName(), path, QString::fromUtf8(f.icon));
        }
        for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
            const QString at = volume.rootPath();
            // Removable and user mounts, as a file manager's side pane shows them.
            if (!volume.isValid() || !volume.isReady()) continue;
            if (!at.startsWith(QStringLiteral("/media/")) && !at.startsWith(QStringLiteral("/run/media/")) &&
                !at.startsWith(QStringLiteral("/mnt/"))) {
                continue;
            }
            // A volume without a label shows the last part of where it is mounted.
            QString name = volume.displayName();
            if (name.isEmpty() || name == at) name = QFileInfo(at).fileName();
            place(name, at, QStringLiteral("drive-harddisk"));
        }
        place(QStringLiteral("File System"), QStringLiteral("/"), QStringLiteral("drive-harddisk"));
        root->setExpanded(true);
        if (root->childCount() > 0) root->child(0)->setExpanded(true);
    });
}

void ExplorerTree::sortChildren(QTreeWidgetItem* item) {
    // Sorted in place, so that expanded children stay expanded.
    item->sortChildren(0, Qt::AscendingOrder);
}

void ExplorerTree::fill(QTreeWidgetItem* item) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    item->setData(0, kFilledRole, true);
    refresh(item);
    QApplication::restoreOverrideCursor();
}

void ExplorerTree::refresh(QTreeWidgetItem* item) {
    const QString path = pathOf(item);
    // The root's places are fixed; only real folders are read again.
    if (item->parent() == nullptr && tree_ != nullptr && tree_->indexOfTopLevelItem(item) >= 0) {
        for (int i = 0; i < item->childCount(); ++i) {
            if (item->child(i)->isExpanded()) refresh(item->child(i));
        }
        return;
    }
    if (path.isEmpty()) return;
    QDir dir(path);
    dir.setFilter(folderFilter());
    const QFileInfoList found = dir.entryInfoList();
    const bool wasExpanded = item->isExpanded();
    QStringList names;
    for (int i = 0; i < found.size() && i < kMaxChildren; ++i) names << found[i].fileName();
    // Children that are gone go; those still there stay, refreshed when expanded.
    for (int i = item->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* child = item->child(i);
        const QString name = QFileInfo(pathOf(child)).fileName();
        if (!names.contains(name)) {
            delete item->takeChild(i);
            continue;
        }
        names.removeOne(name);
        child->setChildIndicatorPolicy(hasSubfolders(pathOf(child)) ? QTreeWidgetItem::ShowIndicator
                                                                    : QTreeWidgetItem::DontShowIndicator);
        if (child->isExpanded()) refresh(child);
    }
    for (const QString& name : names) {
        item->addChild(makeItem(name, QDir(path).filePath(name), QStringLiteral("folder")));
    }
    if (item->childCount() == 0) {
        // A leaf loses its expand mark.
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        item->setExpanded(false);
    } else {
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        sortChildren(item);
        if (wasExpanded) item->setExpanded(true);
    }
}

void ExplorerTree::RefreshSelected() {
    guardExportVoid("IExplorerTree::RefreshSelected", [&] {
        if (tree_ == nullptr || tree_->currentItem() == nullptr) return;
        QTreeWidgetItem* item = tree_->currentItem();
        item->setData(0, kFilledRole, true);
        refresh(item);
    });
}

void ExplorerTree::selectionChanged() {
    if (!tracking_ || tree_ == nullptr) return;
    QList<QTreeWidgetItem*> chosen = tree_->selectedItems();
    selected_ = chosen.isEmpty() ? QString() : pathOf(chosen.front());
}

int ExplorerTree::GetPath(char* buffer, int size) {
    return guardExport("IExplorerTree::GetPath", 0, [&] {
        if (buffer == nullptr || size <= 0) return 0;
        const QByteArray bytes = selected_.toUtf8();
        // A path that does not fit is not cut into another path.
        if (bytes.isEmpty() || bytes.size() >= size) {
            buffer[0] = '\0';
            return 0;
        }
        std::memcpy(buffer, bytes.constData(), static_cast<size_t>(bytes.size()) + 1);
        return 1;
    });
}

void ExplorerTree::SelectPath(const char* path) {
    guardExportVoid("IExplorerTree::SelectPath", [&] {
        if (tree_ == nullptr || path == nullptr || tree_->topLevelItemCount() == 0) return;
        const QString target = QDir::cleanPath(QFileInfo(QString::fromUtf8(path)).absoluteFilePath());
        if (!QFileInfo(target).isDir()) return;
        QTreeWidgetItem* root = tree_->topLevelItem(0);
        // Start from the place that holds the path most closely.
        QTreeWidgetItem* at = nullptr;
        int best = -1;
        for (int i = 0; i < root->childCount(); ++i) {
            const QString p = pathOf(root->child(i));
            const bool holds = target == p || target.startsWith(p.endsWith('/') ? p : p + '/');
            if (holds && p.size() > best) {
                best = static_cast<int>(p.size());
                at = root->child(i);
            }
        }
        if (at == nullptr) return;
        QString rest = target.mid(pathOf(at).size());
        const QStringList parts = rest.split('/', Qt::SkipEmptyParts);
        root->setExpanded(true);
        for (const QString& part : parts) {
            at->setExpanded(true);  // fills it
            QTreeWidgetItem* next = nullptr;
            for (int i = 0; i < at->childCount() && next == nullptr; ++i) {
                if (QFileInfo(pathOf(at->child(i))).fileName() == part) next = at->child(i);
            }
            if (next == nullptr) return;  // hidden or unreadable on the way: nothing selected
            at = next;
        }
        tree_->setCurrentItem(at);
        tree_->scrollToItem(at);
        tree_->setFocus();
    });
}

void ExplorerTree::newFolder(QTreeWidgetItem* item, const QString& name) {
    const QString base = pathOf(item);
    if (base.isEmpty() || name.isEmpty() || name.contains('/')) return;
    if (!QDir(base).mkdir(name)) {
        QMessageBox::warning(owner_, ui::kCaption, QStringLiteral("Cannot create the folder %1 in %2.").arg(name, base));
        return;
    }
    item->setData(0, kFilledRole, true);
    refresh(item);
    item->setExpanded(true);
}

void ExplorerTree::rename(QTreeWidgetItem* item, const QString& name) {
    const QString from = pathOf(item);
    if (from.isEmpty() || item->parent() == nullptr || name.isEmpty() || name.contains('/')) return;
    const QString to = QFileInfo(from).dir().filePath(name);
    if (QFileInfo::exists(to) || !QDir().rename(from, to)) {
        QMessageBox::warning(owner_, ui::kCaption, QStringLiteral("Cannot rename %1 to %2.").arg(from, name));
        return;
    }
    QTreeWidgetItem* parent = item->parent();
    refresh(parent);
}

bool ExplorerTree::moveToTrash(QTreeWidgetItem* item) {
    const QString path = pathOf(item);
    if (path.isEmpty() || item->parent() == nullptr || item->parent()->parent() == nullptr) return false;
    if (!QFile::moveToTrash(path)) {
        QMessageBox::warning(owner_, ui::kCaption, QStringLiteral("Cannot move %1 to the Trash.").arg(path));
        return false;
    }
    QTreeWidgetItem* parent = item->parent();
    refresh(parent);
    return true;
}

void ExplorerTree::showMenu(const QPoint& at) {
    if (tree_ == nullptr) return;
    QTreeWidgetItem* item = tree_->itemAt(at);
    if (item == nullptr) return;
    tree_->setCurrentItem(item);
    const QString path = pathOf(item);
    const bool real = !path.isEmpty();
    // A place of the root is not renamed or thrown away from here.
    const bool ownFolder = real && item->parent() != nullptr && item->parent()->parent() != nullptr;
    QMenu menu(owner_ != nullptr ? owner_.data() : tree_.data());
    QAction* open = menu.addAction(themed("document-open", QStyle::SP_DirOpenIcon), QStringLiteral("&Open"));
    menu.addSeparator();
    QAction* create = menu.addAction(themed("folder-new", QStyle::SP_FileDialogNewFolder), QStringLiteral("&New Folder..."));
    QAction* rename = menu.addAction(QStringLiteral("Rena&me..."));
    QAction* trash = menu.addAction(themed("user-trash", QStyle::SP_TrashIcon), QStringLiteral("Move to &Trash"));
    menu.addSeparator();
    QAction* copy = menu.addAction(themed("edit-copy", QStyle::SP_FileIcon), QStringLiteral("&Copy Path"));
    QAction* refresh = menu.addAction(themed("view-refresh", QStyle::SP_BrowserReload), QStringLiteral("&Refresh"));
    for (QAction* a : {open, create, copy}) a->setEnabled(real);
    rename->setEnabled(ownFolder);
    trash->setEnabled(ownFolder);
    QAction* chosen = menu.exec(tree_->viewport()->mapToGlobal(at));
    if (chosen == open) {
        ui::openUrl(QUrl::fromLocalFile(path));
    } else if (chosen == create) {
        bool ok = false;
        QString name = QInputDialog::getText(owner_, QStringLiteral("New Folder"), QStringLiteral("Folder name:"),
                                             QLineEdit::Normal, QStringLiteral("New Folder"), &ok);
        if (ok) newFolder(item, name);
    } else if (chosen == rename) {
        bool ok = false;
        QString name = QInputDialog::getText(owner_, QStringLiteral("Rename"), QStringLiteral("New name:"),
                                             QLineEdit::Normal, item->text(0), &ok);
        if (ok) this->rename(item, name);
    } else if (chosen == trash) {
        moveToTrash(item);
    } else if (chosen == copy) {
        QGuiApplication::clipboard()->setText(path);
    } else if (chosen == refresh) {
        RefreshSelected();
    }
}

}  // namespace tallory::shell

extern "C" TALLORY_API HRESULT CreateExplorerTree(IExplorerTree** tree, HWND owner, HWND treeWidget) noexcept {
    return tallory::core::guardExport("CreateExplorerTree", E_OUTOFMEMORY, [&]() -> HRESULT {
        if (tree == nullptr) return E_INVALIDARG;
        *tree = nullptr;
        auto* widget = qobject_cast<QTreeWidget*>(static_cast<QObject*>(static_cast<QWidget*>(treeWidget)));
        if (widget == nullptr) return E_INVALIDARG;
        *tree = new (std::nothrow) tallory::shell::ExplorerTree(static_cast<QWidget*>(owner), widget);
        return *tree != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}
