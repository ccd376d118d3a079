#include "main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDirIterator>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QSplitter>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <vector>

#include "formats/ogg/ogg_settings.h"
#include "tallory/batch.h"
#include "tallory/formats.h"
#include "tallory/metadata.h"
#include "tallory/settings.h"

namespace tallory::gui {

namespace {

constexpr const char* kSection = "Gui";
constexpr int kMaxFolderFiles = 100000;  // a folder scan stops here rather than fill memory
constexpr uint32_t kMaxFormatRows = 64;   // the registry ends well before

const char* const kSchemeElements[] = {"<artist>", "<album>",     "<title>",     "<tracknum>", "<year>",
                                       "<genre>",  "<sourcename>", "<sourcedir>", "<sourcepath>"};

QString readString(const char* name, const QString& fallback) {
    char buffer[TALLORY_MAX_PATH] = "";
    return GetProfileStringA(kSection, name, buffer) ? QString::fromUtf8(buffer) : fallback;
}

int readInt(const char* name, int fallback) {
    int v = fallback;
    return GetProfileIntA(kSection, name, &v) ? v : fallback;
}

bool readable(const QString& path) {
    FormatInfo info;
    return SUCCEEDED(ConvGetFormatOf(&info, path.toUtf8().constData())) && info.sourceClass != nullptr;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("Tallory"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* filesBox = new QGroupBox(QStringLiteral("Files to convert"), central);
    auto* filesLayout = new QHBoxLayout(filesBox);
    files_ = new QListWidget(filesBox);
    files_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    files_->setMinimumHeight(fontMetrics().height() * 10);
    auto* fileButtons = new QVBoxLayout;
    auto* addFiles = new QPushButton(QStringLiteral("Add &Files..."), filesBox);
    auto* addFolder = new QPushButton(QStringLiteral("Add F&older..."), filesBox);
    remove_ = new QPushButton(QStringLiteral("&Remove"), filesBox);
    fileButtons->addWidget(addFiles);
    fileButtons->addWidget(addFolder);
    fileButtons->addWidget(remove_);
    fileButtons->addStretch(1);
    filesLayout->addWidget(files_, 1);
    filesLayout->addLayout(fileButtons);
    layout->addWidget(filesBox, 1);

    auto* outputBox = new QGroupBox(QStringLiteral("Output"), central);
    auto* form = new QFormLayout(outputBox);
    format_ = new QComboBox(outputBox);
    for (uint32_t i = 0; i < kMaxFormatRows; ++i) {
        FormatInfo info;
        if (FAILED(ConvGetFormatAt(&info, i))) break;
        if (info.targetClass == nullptr) continue;
        info.name[sizeof info.name - 1] = '\0';
        format_->addItem(QString::fromUtf8(info.name), static_cast<int>(i));
    }
    auto* settings = new QPushButton(QStringLiteral("&Settings..."), outputBox);
    auto* formatRow = new QHBoxLayout;
    formatRow->addWidget(format_, 1);
    formatRow->addWidget(settings);
    auto* formatLabel = new QLabel(QStringLiteral("&Format:"), outputBox);
    formatLabel->setBuddy(format_);
    form->addRow(formatLabel, formatRow);

    scheme_ = new QLineEdit(outputBox);
    auto* insert = new QToolButton(outputBox);
    insert->setText(QStringLiteral("&Insert"));
    insert->setPopupMode(QToolButton::InstantPopup);
    auto* elements = new QMenu(insert);
    for (const char* e : kSchemeElements) {
        elements->addAction(QString::fromUtf8(e), this, [this, e] { scheme_->insert(QString::fromUtf8(e)); });
    }
    insert->setMenu(elements);
    auto* browse = new QPushButton(QStringLiteral("&Browse..."), outputBox);
    auto* schemeRow = new QHBoxLayout;
    schemeRow->addWidget(scheme_, 1);
    schemeRow->addWidget(insert);
    schemeRow->addWidget(browse);
    auto* schemeLabel = new QLabel(QStringLiteral("&Naming scheme:"), outputBox);
    schemeLabel->setBuddy(scheme_);
    form->addRow(schemeLabel, schemeRow);

    normalize_ = new QCheckBox(QStringLiteral("N&ormalize volume"), outputBox);
    deleteSources_ = new QCheckBox(QStringLiteral("&Move converted sources to the Trash"), outputBox);
    form->addRow(normalize_);
    form->addRow(deleteSources_);
    layout->addWidget(outputBox);

    auto* bottom = new QHBoxLayout;
    convert_ = new QPushButton(QStringLiteral("&Convert"), central);
    convert_->setDefault(true);
    auto* quit = new QPushButton(QStringLiteral("&Quit"), central);
    bottom->addStretch(1);
    bottom->addWidget(convert_);
    bottom->addWidget(quit);
    layout->addLayout(bottom);
    // The folder pane on the left, the tag pane of the selected files on the right.
    auto* folderPane = new QWidget(this);
    auto* folderLayout = new QVBoxLayout(folderPane);
    folderLayout->setContentsMargins(0, 0, 0, 0);
    folders_ = new QTreeWidget(folderPane);
    auto* addSelected = new QPushButton(QStringLiteral("Add Selected Fol&der"), folderPane);
    folderLayout->addWidget(folders_, 1);
    folderLayout->addWidget(addSelected);
    if (SUCCEEDED(CreateExplorerTree(&explorer_, this, folders_))) explorer_->Reset();
    connect(addSelected, &QPushButton::clicked, this, [this] {
        char path[4096];
        if (explorer_ != nullptr && explorer_->GetPath(path, sizeof path) != 0) addPaths({QString::fromUtf8(path)});
    });
    connect(folders_, &QTreeWidget::itemDoubleClicked, addSelected, &QPushButton::click);

    auto* tagPane = new QWidget(this);
    auto* tagLayout = new QVBoxLayout(tagPane);
    tagLayout->setContentsMargins(0, 0, 0, 0);
    tagView_ = new QTreeWidget(tagPane);
    saveTags_ = new QPushButton(QStringLiteral("Save &Tags"), tagPane);
    saveTags_->setEnabled(false);
    tagLayout->addWidget(tagView_, 1);
    tagLayout->addWidget(saveTags_);
    connect(saveTags_, &QPushButton::clicked, this, [this] {
        if (tags_) tags_->Save();
    });

    auto* splitter = new QSplitter(this);
    splitter->addWidget(folderPane);
    splitter->addWidget(central);
    splitter->addWidget(tagPane);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({fontMetrics().averageCharWidth() * 30, fontMetrics().averageCharWidth() * 70,
                        fontMetrics().averageCharWidth() * 45});
    setCentralWidget(splitter);
    connect(files_, &QListWidget::itemSelectionChanged, this, [this] { showTags(); });

    connect(addFiles, &QPushButton::clicked, this, [this] { chooseFiles(); });
    connect(addFolder, &QPushButton::clicked, this, [this] { chooseFolder(); });
    connect(remove_, &QPushButton::clicked, this, [this] { qDeleteAll(files_->selectedItems()); refreshButtons(); });
    connect(settings, &QPushButton::clicked, this, [this] { showSettings(); });
    connect(browse, &QPushButton::clicked, this, [this] {
        QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Output Folder"));
        if (!dir.isEmpty()) scheme_->setText(dir + QStringLiteral("/<artist>/<album>/<tracknum> <title>"));
    });
    connect(convert_, &QPushButton::clicked, this, [this] { convert(); });
    connect(quit, &QPushButton::clicked, this, &QWidget::close);
    connect(files_, &QListWidget::itemSelectionChanged, this, [this] { refreshButtons(); });
    connect(format_, &QComboBox::currentIndexChanged, this, [this] { prototype_.reset(); });

    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    scheme_->setText(readString("Scheme", music + QStringLiteral("/Tallory/<artist>/<album>/<tracknum> <title>")));
    int at = format_->findText(readString("Format", QStringLiteral("MP3")));
    format_->setCurrentIndex(at >= 0 ? at : 0);
    normalize_->setChecked(readInt("Normalize", 0) != 0);
    deleteSources_->setChecked(readInt("DeleteSources", 0) != 0);
    resize(fontMetrics().averageCharWidth() * 150, fontMetrics().height() * 34);
    refreshButtons();
}

MainWindow::~MainWindow() {
    saveChoices();
    tags_.reset();
    if (explorer_ != nullptr) explorer_->Destroy();
}

bool MainWindow::askToSaveTags() {
    if (!tags_ || tags_->IsModified() == 0) return true;
    auto answer = QMessageBox::question(this, windowTitle(), QStringLiteral("Save the changed tags?"),
                                        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel) return false;
    if (answer == QMessageBox::Save) return SUCCEEDED(tags_->Save());
    return true;
}

void MainWindow::showTags() {
    askToSaveTags();
    tags_.reset();
    tagView_->clear();
    std::vector<Ref<IMetadataFile>> files;
    for (QListWidgetItem* item : files_->selectedItems()) {
        IMetadataFile* f = nullptr;
        if (SUCCEEDED(MetadataCreateFromFile(item->text().toUtf8().constData(), &f)) && f != nullptr) files.emplace_back(f);
    }
    saveTags_->setEnabled(!files.empty());
    if (files.empty()) return;
    IMetadataListView* view = nullptr;
    if (FAILED(CreateMetaDataLV(&view))) return;
    tags_ = Ref<IMetadataListView>(view);
    tags_->Attach(tagView_);
    std::vector<IMetadataFile*> raw;
    for (const auto& f : files) raw.push_back(f.get());
    tags_->SetFiles(raw.data(), static_cast<int>(raw.size()));
}

void MainWindow::saveChoices() {
    PutProfileString(kSection, "Scheme", scheme_->text().toUtf8().left(TALLORY_MAX_PROFILE_STRING).constData());
    PutProfileString(kSection, "Format", format_->currentText().toUtf8().constData());
    PutProfileInt(kSection, "Normalize", normalize_->isChecked() ? 1 : 0);
    PutProfileInt(kSection, "DeleteSources", deleteSources_->isChecked() ? 1 : 0);
}

void MainWindow::addPaths(const QStringList& paths) {
    for (const QString& p : paths) {
        QFileInfo info(p);
        if (info.isDir()) {
            QDirIterator it(p, QDir::Files | QDir::Readable, QDirIterator::Subdirectories);
            QStringList found;
            while (it.hasNext() && found.size() < kMaxFolderFiles) {
                QString f = it.next();
                if (readable(f)) found << f;
            }
            found.sort();
            for (const QString& f : found) files_->addItem(f);
        } else if (info.isFile() && readable(p)) {
            files_->addItem(info.absoluteFilePath());
        }
    }
    refreshButtons();
}

QStringList MainWindow::paths() const {
    QStringList list;
    for (int i = 0; i < files_->count(); ++i) list << files_->item(i)->text();
    return list;
}

void MainWindow::chooseFiles() {
    QStringList chosen = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Add Files"), QString(),
        QStringLiteral("Audio files (*.mp3 *.wav *.wma *.asf *.aif *.aiff *.ogg *.vqf);;All files (*)"));
    addPaths(chosen);
}

void MainWindow::chooseFolder() {
    QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Add Folder"));
    if (!dir.isEmpty()) addPaths({dir});
}

void MainWindow::refreshButtons() {
    remove_->setEnabled(!files_->selectedItems().isEmpty());
    convert_->setEnabled(files_->count() > 0 && !busy_);
}

const CLSID* MainWindow::targetClass() const {
    FormatInfo info;
    if (FAILED(ConvGetFormatAt(&info, static_cast<uint32_t>(format_->currentData().toInt())))) return nullptr;
    return info.targetClass;
}

void MainWindow::showSettings() {
    FormatInfo info;
    if (FAILED(ConvGetFormatAt(&info, static_cast<uint32_t>(format_->currentData().toInt())))) return;
    // Formats with stored defaults edit them; the others edit the target this window keeps.
    HRESULT hr = ConvDefOutputSettings(this, &info);
    if (hr != S_FALSE) return;
    if (!prototype_ && info.targetClass != nullptr) {
        IConvTarget* t = nullptr;
        if (SUCCEEDED(ConvCreateObject(*info.targetClass, &IID_IConvTarget, reinterpret_cast<void**>(&t)))) {
            prototype_ = Ref<IConvTarget>(t);
        }
    }
    if (!prototype_ || !prototype_->ShowSettings(this, nullptr)) {
        if (!prototype_) QMessageBox::information(this, windowTitle(), QStringLiteral("This format has no settings."));
    }
}

void MainWindow::applyPrototype(IConvTarget* target) {
    if (!prototype_) return;
    IOggSettings* from = nullptr;
    IOggSettings* to = nullptr;
    if (SUCCEEDED(prototype_->QueryInterface(IID_IOggSettings, reinterpret_cast<void**>(&from))) &&
        SUCCEEDED(target->QueryInterface(IID_IOggSettings, reinterpret_cast<void**>(&to)))) {
        tallory::formats::ogg::OggSettings s;
        from->GetSettings(&s);
        to->PutSettings(&s);
    }
    if (from != nullptr) from->Release();
    if (to != nullptr) to->Release();
}

void MainWindow::convert() {
    const CLSID* cls = targetClass();
    if (cls == nullptr || files_->count() == 0) return;
    const QByteArray scheme = scheme_->text().toUtf8();
    if (scheme.size() >= TALLORY_MAX_PATH) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("The naming scheme is longer than %1 characters.").arg(TALLORY_MAX_PATH - 1));
        return;
    }
    saveChoices();
    std::vector<Ref<IConvSource>> sources;
    std::vector<Ref<IConvTarget>> targets;
    std::vector<BatchItem> items;
    QStringList skipped;
    for (const QString& path : paths()) {
        FormatInfo info;
        const QByteArray p = path.toUtf8();
        IConvSource* s = nullptr;
        IConvTarget* t = nullptr;
        if (FAILED(ConvGetFormatOf(&info, p.constData())) || info.sourceClass == nullptr ||
            FAILED(ConvCreateObject(*info.sourceClass, &IID_IConvSource, reinterpret_cast<void**>(&s)))) {
            skipped << path;
            continue;
        }
        sources.emplace_back(s);
        if (FAILED(ConvCreateObject(*cls, &IID_IConvTarget, reinterpret_cast<void**>(&t)))) {
            sources.pop_back();
            skipped << path;
            continue;
        }
        targets.emplace_back(t);
        applyPrototype(t);
        s->SetPath(p.constData());
        BatchItem item{};
        std::memcpy(item.scheme, scheme.constData(), static_cast<size_t>(scheme.size()));
        item.startMs = -1;
        item.endMs = -1;
        item.source = s;
        item.target = t;
        items.push_back(item);
    }
    if (!skipped.isEmpty()) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("These files cannot be read and are left out:\n%1").arg(skipped.join('\n')));
    }
    if (items.empty()) return;
    items.push_back(BatchItem{});
    busy_ = true;
    refreshButtons();
    BatchConvert(items.data(), nullptr, normalize_->isChecked() ? 1 : 0, deleteSources_->isChecked() ? 1 : 0);
    busy_ = false;
    if (deleteSources_->isChecked()) {
        for (int i = files_->count() - 1; i >= 0; --i) {
            if (!QFileInfo::exists(files_->item(i)->text())) delete files_->item(i);
        }
    }
    refreshButtons();
}

}  // namespace tallory::gui
