#include "ui/metadata_list_view.h"

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QTreeWidget>

#include <new>

#include "core/export_guard.h"
#include "tallory/ui_bridge.h"
#include "ui/frame_descriptions.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

namespace {

using core::guardExport;
using core::guardExportVoid;

constexpr int kIdRole = Qt::UserRole;
constexpr int kReadOnlyRole = Qt::UserRole + 1;
constexpr int kLastFrameId = 94;
constexpr int kMaxMenuValues = 101;
constexpr int kTextRoom = 4096;
constexpr int kSeveralImage = 4, kReadOnlyImage = 1, kMainImage = 2, kSectionImage = 8;
const int kMainFrames[] = {METADATA_FRAME_COMM, METADATA_FRAME_TALB, METADATA_FRAME_TCON, METADATA_FRAME_TIT2,
                           METADATA_FRAME_TPE1, METADATA_FRAME_TRCK, METADATA_FRAME_TYER};

bool isMain(int id) { return std::find(std::begin(kMainFrames), std::end(kMainFrames), id) != std::end(kMainFrames); }

// The nine pictures: a tag for a frame (blue for the main frames, grey for
// the others, a padlock bar when read-only, a second tag behind it for
// several files), and a folder tab for the section rows.
QIcon rowImage(int index) {
    static QIcon images[9];
    if (!images[index].isNull()) return images[index];
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (index == kSectionImage) {
        p.setPen(QColor(120, 90, 20));
        p.setBrush(QColor(240, 200, 90));
        p.drawRoundedRect(QRectF(1.5, 4.5, 13, 9), 1.5, 1.5);
        p.drawRect(QRectF(1.5, 2.5, 6, 2));
    } else {
        const QColor fill = (index & kMainImage) != 0 ? QColor(70, 120, 200) : QColor(150, 150, 150);
        if ((index & kSeveralImage) != 0) {
            p.setPen(fill.darker(150));
            p.setBrush(fill.lighter(140));
            p.drawRoundedRect(QRectF(4.5, 1.5, 10, 8), 2, 2);
        }
        p.setPen(fill.darker(160));
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(1.5, 5.5, 10, 8), 2, 2);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(4.5, 9.5), 1.2, 1.2);
        if ((index & kReadOnlyImage) != 0) {
            p.setPen(QPen(QColor(160, 30, 30), 1.5));
            p.drawLine(QPointF(8, 14.5), QPointF(15, 14.5));
            p.drawLine(QPointF(9.5, 14.5), QPointF(9.5, 11.5));
            p.drawLine(QPointF(13.5, 14.5), QPointF(13.5, 11.5));
        }
    }
    p.end();
    images[index] = QIcon(pixmap);
    return images[index];
}

QString displayText(IMetadataFrame* frame) {
    std::vector<char16_t> buffer(kTextRoom + 1, u'\0');
    frame->GetDisplayText(buffer.data(), kTextRoom);
    size_t n = 0;
    while (n < kTextRoom && buffer[n] != u'\0') ++n;
    return QString::fromUtf16(buffer.data(), static_cast<qsizetype>(n));
}

Ref<IMetadataFrame> frameOf(IMetadataTag* tag, int id) {
    IMetadataFrame* f = nullptr;
    if (tag == nullptr || FAILED(tag->GetFrame(id, IID_IMetadataFrame, reinterpret_cast<void**>(&f)))) return {};
    return Ref<IMetadataFrame>(f);
}

Ref<IMetadataFrame> newFrame(int id) {
    void* f = nullptr;
    if (FAILED(MetadataCreateFrame(id, IID_IMetadataFrame, &f))) return {};
    return Ref<IMetadataFrame>(static_cast<IMetadataFrame*>(f));
}

Ref<IMetadataTag> readTag(IMetadataFile* file) {
    IMetadataTag* tag = nullptr;
    if (file == nullptr || FAILED(file->ReadTag(&tag)) || tag == nullptr) {
        tag = nullptr;
        MetadataCreateTag(&tag);
    }
    return Ref<IMetadataTag>(tag);
}

// Keys and double clicks of the view, as the list-view window had them.
class ViewKeys : public QObject {
public:
    ViewKeys(MetadataListView& owner, QObject* parent) : QObject(parent), owner_(owner) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_F2) {
                owner_.EditSelected();
                return true;
            }
            if (key->key() == Qt::Key_Delete) {
                owner_.RemoveSelected();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    MetadataListView& owner_;
};

}  // namespace

MetadataListView::~MetadataListView() {
    if (view_ != nullptr) disconnect(view_, nullptr, this, nullptr);
}

HRESULT MetadataListView::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) return E_INVALIDARG;
    if (iid == IID_IMetadataListView || iid == IID_IUnknown) {
        *object = static_cast<IMetadataListView*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

uint32_t MetadataListView::Release() {
    const uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
}

QWidget* MetadataListView::parentWindow() const {
    return view_ != nullptr ? view_->window() : nullptr;
}

int MetadataListView::Attach(HWND treeWidget) {
    return guardExport("IMetadataListView::Attach", 0, [&] {
        auto* view = qobject_cast<QTreeWidget*>(static_cast<QObject*>(static_cast<QWidget*>(treeWidget)));
        if (view == nullptr) return 0;
        view_ = view;
        view->setColumnCount(2);
        view->setHeaderLabels({QStringLiteral("Tag"), QStringLiteral("Value")});
        view->setRootIsDecorated(false);
        view->setIndentation(12);
        view->setUniformRowHeights(true);
        view->setSelectionMode(QAbstractItemView::SingleSelection);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->header()->setSectionsMovable(true);
        view->header()->resizeSection(0, 160);
        view->header()->resizeSection(1, 169);
        // The filter belongs to this controller: it goes when the controller goes.
        view->installEventFilter(new ViewKeys(*this, this));
        connect(view, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
            if (view_ != nullptr) view_->setCurrentItem(item);
            EditSelected();
        });
        connect(view, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
            if (view_ == nullptr) return;
            QTreeWidgetItem* item = view_->itemAt(at);
            if (item != nullptr) view_->setCurrentItem(item);
            std::unique_ptr<QMenu> menu(menuFor(item));
            if (menu == nullptr || menu->isEmpty()) return;
            QAction* chosen = menu->exec(view_->viewport()->mapToGlobal(at));
            if (chosen != nullptr && chosen->data().isValid() && item != nullptr) {
                applyValue(item->data(0, kIdRole).toInt(), chosen->data().toInt());
            }
        });
        return 0;
    });
}

std::vector<IMetadataTag*> MetadataListView::tags() const {
    std::vector<IMetadataTag*> all;
    if (tag_) all.push_back(tag_.get());
    for (const auto& t : moreTags_) all.push_back(t.get());
    return all;
}

int MetadataListView::SetFile(IMetadataFile* file) {
    return guardExport("IMetadataListView::SetFile", 0, [&] {
        // The previous main file and its tag go first.
        tag_.reset();
        file_ = Ref<IMetadataFile>::share(file);
        tag_ = readTag(file);
        moreTags_.clear();
        for (const auto& f : moreFiles_) moreTags_.push_back(readTag(f.get()));
        readOnly_ = file == nullptr || (file->GetCapabilities() & METADATA_CAN_WRITE) == 0;
        for (const auto& f : moreFiles_) readOnly_ = readOnly_ || (f->GetCapabilities() & METADATA_CAN_WRITE) == 0;
        modified_ = false;
        buildRows();
        return 0;
    });
}

HRESULT MetadataListView::SetFiles(IMetadataFile** files, int count) {
    return guardExport("IMetadataListView::SetFiles", E_FAIL, [&]() -> HRESULT {
        if (files == nullptr || count <= 0) return E_INVALIDARG;
        moreTags_.clear();
        moreFiles_.clear();
        for (int i = 1; i < count; ++i) {
            if (files[i] != nullptr) moreFiles_.push_back(Ref<IMetadataFile>::share(files[i]));
        }
        SetFile(files[0]);
        return S_OK;
    });
}

void MetadataListView::buildRows() {
    if (view_ == nullptr) return;
    // A new file gets fresh rows, not a second set below the old ones.
    view_->clear();
    QFont bold = view_->font();
    bold.setWeight(QFont::Bold);
    auto section = [&](const QString& text) {
        auto* row = new QTreeWidgetItem(QStringList{text});
        row->setData(0, kIdRole, 0);
        row->setFont(0, bold);
        row->setIcon(0, rowImage(kSectionImage));
        row->setFlags(Qt::ItemIsEnabled);  // not selectable, not editable
        row->setFirstColumnSpanned(false);
        return row;
    };
    view_->addTopLevelItem(section(QStringLiteral("Audio Information")));
    view_->addTopLevelItem(section(QStringLiteral("Extended Information")));
    const bool several = !moreTags_.empty();
    for (int id = 1; id <= kLastFrameId; ++id) {
        Ref<IMetadataFrame> probe = newFrame(id);
        if (!probe) continue;
        const bool rowReadOnly = readOnly_ || probe->IsReadOnly() == 1;
        auto* row = new QTreeWidgetItem(QStringList{QString::fromUtf8(probe->GetName())});
        row->setData(0, kIdRole, id);
        row->setData(0, kReadOnlyRole, rowReadOnly);
        const int image = (several ? kSeveralImage : 0) + (rowReadOnly ? kReadOnlyImage : 0) + (isMain(id) ? kMainImage : 0);
        row->setIcon(0, rowImage(image));
        const QString tip = QString::fromUtf8(frameDescription(id));
        row->setToolTip(0, tip);
        row->setToolTip(1, tip);
        // Indent 1 under the sections.
        row->setText(0, QStringLiteral("  ") + row->text(0));
        if (isMain(id)) {
            view_->insertTopLevelItem(1, row);
        } else {
            view_->addTopLevelItem(row);
        }
        refreshRow(row);
    }
    // Names longer than the first column's width stay readable.
    view_->resizeColumnToContents(0);
    if (view_->columnWidth(0) < 160) view_->setColumnWidth(0, 160);
}

QTreeWidgetItem* MetadataListView::rowOf(int frameId) const {
    if (view_ == nullptr) return nullptr;
    for (int i = 0; i < view_->topLevelItemCount(); ++i) {
        if (view_->topLevelItem(i)->data(0, kIdRole).toInt() == frameId) return view_->topLevelItem(i);
    }
    return nullptr;
}

void MetadataListView::refreshRow(QTreeWidgetItem* row) {
    const int id = row->data(0, kIdRole).toInt();
    if (id == 0) return;
    Ref<IMetadataFrame> main = frameOf(tag_.get(), id);
    bool shared = static_cast<bool>(main);
    for (const auto& t : moreTags_) {
        if (!shared) break;
        Ref<IMetadataFrame> other = frameOf(t.get(), id);
        shared = other && main->IsEqual(other.get()) == 1;
    }
    // Absent or differing between the files: no value and a greyed row.
    row->setText(1, shared ? displayText(main.get()) : QString());
    const QBrush normal = view_ != nullptr ? view_->palette().text() : QBrush(Qt::black);
    const QBrush grey = view_ != nullptr ? view_->palette().brush(QPalette::Disabled, QPalette::Text) : QBrush(Qt::gray);
    row->setForeground(0, shared ? normal : grey);
    row->setData(0, Qt::UserRole + 2, shared);
}

HRESULT MetadataListView::Save() {
    return guardExport("IMetadataListView::Save", E_FAIL, [&]() -> HRESULT {
        if (!file_ || !tag_) return E_INVALIDARG;
        HRESULT result = file_->WriteTag(tag_.get());
        for (size_t i = 0; i < moreFiles_.size() && i < moreTags_.size(); ++i) {
            HRESULT hr = moreFiles_[i]->WriteTag(moreTags_[i].get());
            if (SUCCEEDED(result) && FAILED(hr)) result = hr;
        }
        if (FAILED(result)) {
            QMessageBox::critical(
                parentWindow(), kCaption,
                QStringLiteral("At least one file could not be saved. Please make sure it is not used by other applications."));
        } else {
            modified_ = false;
        }
        return result;
    });
}

HRESULT MetadataListView::EditSelected() {
    return guardExport("IMetadataListView::EditSelected", E_FAIL, [&]() -> HRESULT {
        QTreeWidgetItem* row = view_ != nullptr ? view_->currentItem() : nullptr;
        // A section row names no frame.
        if (row == nullptr || readOnly_ || row->data(0, kIdRole).toInt() == 0) return E_FAIL;
        editRow(row);
        return 0;
    });
}

void MetadataListView::editRow(QTreeWidgetItem* row) {
    const int id = row->data(0, kIdRole).toInt();
    if (id == 0 || row->data(0, kReadOnlyRole).toBool()) return;
    Ref<IMetadataFrame> frame = frameOf(tag_.get(), id);
    if (!frame) frame = newFrame(id);
    if (!frame || frame->Edit(parentWindow()) != IDOK) return;
    for (const auto& t : moreTags_) {
        Ref<IMetadataFrame> other = frameOf(t.get(), id);
        if (!other) other = newFrame(id);
        if (!other) continue;
        frame->CopyTo(other.get());
        other->AttachTo(t.get());
    }
    frame->AttachTo(tag_.get());
    modified_ = true;
    refreshRow(row);
}

void MetadataListView::removeRow(QTreeWidgetItem* row) {
    const int id = row->data(0, kIdRole).toInt();
    if (id == 0) return;
    for (IMetadataTag* t : tags()) t->RemoveFrames(id);
    modified_ = true;
    refreshRow(row);
}

HRESULT MetadataListView::RemoveSelected() {
    return guardExport("IMetadataListView::RemoveSelected", E_FAIL, [&]() -> HRESULT {
        QTreeWidgetItem* row = view_ != nullptr ? view_->currentItem() : nullptr;
        if (row == nullptr || readOnly_ || row->data(0, kIdRole).toInt() == 0) return E_FAIL;
        removeRow(row);
        return 0;
    });
}

HRESULT MetadataListView::RemoveAll() {
    return guardExport("IMetadataListView::RemoveAll", E_FAIL, [&]() -> HRESULT {
        if (readOnly_) return 0;
        for (IMetadataTag* t : tags()) {
            for (int id = 0; id <= kLastFrameId; ++id) t->RemoveFrames(id);
        }
        modified_ = true;
        if (view_ != nullptr) {
            view_->setUpdatesEnabled(false);
            for (int i = 0; i < view_->topLevelItemCount(); ++i) refreshRow(view_->topLevelItem(i));
            view_->setUpdatesEnabled(true);
        }
        return 0;
    });
}

QMenu* MetadataListView::menuFor(QTreeWidgetItem* item) {
    auto* menu = new QMenu(parentWindow());
    if (item == nullptr || item->data(0, kIdRole).toInt() == 0) {
        menu->addAction(QStringLiteral("Remove &All"), this, [this] { RemoveAll(); });
        return menu;
    }
    if (readOnly_) return menu;  // empty: nothing is shown
    const int id = item->data(0, kIdRole).toInt();
    const bool frameReadOnly = item->data(0, kReadOnlyRole).toBool();
    if (!frameReadOnly && !moreTags_.empty()) {
        // The distinct values of the files, the main file's first.
        std::vector<Ref<IMetadataFrame>> listed;
        const std::vector<IMetadataTag*> all = tags();
        for (size_t i = 0; i < all.size() && listed.size() < kMaxMenuValues; ++i) {
            Ref<IMetadataFrame> f = frameOf(all[i], id);
            if (!f) continue;
            bool known = false;
            for (const auto& l : listed) known = known || f->IsEqual(l.get()) == 1;
            if (known) continue;
            const QString text = displayText(f.get());
            listed.push_back(f);
            if (text.isEmpty()) continue;
            QAction* value = menu->addAction(text);
            value->setData(static_cast<int>(i));
        }
        if (!menu->isEmpty()) menu->addSeparator();
    }
    QAction* edit = menu->addAction(QStringLiteral("&Edit"), this, [this, item] { editRow(item); });
    edit->setEnabled(!frameReadOnly);
    menu->setDefaultAction(edit);
    menu->addAction(QStringLiteral("&Remove"), this, [this, item] { removeRow(item); });
    return menu;
}

void MetadataListView::applyValue(int frameId, int source) {
    const std::vector<IMetadataTag*> all = tags();
    if (source < 0 || static_cast<size_t>(source) >= all.size() || readOnly_) return;
    Ref<IMetadataFrame> chosen = frameOf(all[static_cast<size_t>(source)], frameId);
    if (!chosen) return;
    for (size_t i = 0; i < all.size(); ++i) {
        if (static_cast<int>(i) == source) continue;
        all[i]->RemoveFrames(frameId);
        Ref<IMetadataFrame> copy = newFrame(frameId);
        if (!copy) continue;
        chosen->CopyTo(copy.get());
        copy->AttachTo(all[i]);
    }
    modified_ = true;
    if (QTreeWidgetItem* row = rowOf(frameId)) refreshRow(row);
}

}  // namespace tallory::ui

extern "C" TALLORY_API HRESULT CreateMetaDataLV(IMetadataListView** view) noexcept {
    return tallory::core::guardExport("CreateMetaDataLV", E_OUTOFMEMORY, [&]() -> HRESULT {
        if (view == nullptr) return E_INVALIDARG;
        *view = new (std::nothrow) tallory::ui::MetadataListView();
        return *view != nullptr ? S_OK : E_OUTOFMEMORY;
    });
}
