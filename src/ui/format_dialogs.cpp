#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

#include "tallory/codecs.h"
#include "tallory/settings.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

namespace {

constexpr uint16_t kTagPcm = 1;
// A codec's formats are listed from this many bytes of record at most.
constexpr uint32_t kFormatRecordRoom = TALLORY_WAVE_FORMAT_MAX;
constexpr int kTextRoom = 256;
const int kOggBitrates[] = {48, 64, 96, 128, 160, 192, 256, 320};
constexpr int kOggBitrateCount = 8;

QLineEdit* readOnlyField(QWidget* parent) {
    auto* e = new QLineEdit(parent);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::TabFocus);
    return e;
}

}  // namespace

// --- shared ------------------------------------------------------------------

FormatDialog::FormatDialog(QWidget* parent, TalloryFormatDialogContext& context, const QString& title)
    : QDialog(parent), context_(context) {
    setWindowTitle(context.defaultMode ? title + QStringLiteral(" (default)") : title);
}

QDialogButtonBox* FormatDialog::makeButtons(const QString& setDefaultText, const QString& okText,
                                            const QString& cancelText) {
    auto* box = new QDialogButtonBox(this);
    setDefault = box->addButton(setDefaultText, QDialogButtonBox::ResetRole);
    ok = box->addButton(okText, QDialogButtonBox::AcceptRole);
    cancel = box->addButton(cancelText, QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    setDefault->setAutoDefault(false);
    setDefault->setVisible(!context_.defaultMode);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    return box;
}

bool FormatDialog::store(const void* record) {
    if (context_.storeDefault == nullptr) return true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool stored = context_.storeDefault(record);
    QApplication::restoreOverrideCursor();
    if (!stored) {
        char why[512] = "";
        GetProfileLastError(why, sizeof why);
        QMessageBox::warning(this, kCaption,
                             QStringLiteral("The default settings could not be stored.\n%1").arg(QString::fromUtf8(why)));
    }
    return stored;
}

void FormatDialog::acceptWith(const void* record, size_t size) {
    // In default mode OK stores; a refused store keeps the dialog open.
    if (context_.defaultMode && !store(record)) return;
    std::memcpy(context_.settings, record, size);
    accept();
}

// --- Wave ------------------------------------------------------------------------

WaveSettingsDialog::WaveSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context)
    : FormatDialog(parent, context, QStringLiteral("Wave Audio Settings")) {
    const auto& r = *static_cast<const TalloryWaveSettingsRecord*>(context.settings);
    auto* group = new QGroupBox(QStringLiteral("General"), this);
    auto* form = new QFormLayout(group);
    compressor = new QComboBox(group);
    format = new QComboBox(group);
    format->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    format->setMinimumContentsLength(28);
    form->addRow(QStringLiteral("&Compressor:"), compressor);
    form->addRow(QStringLiteral("&Format:"), format);
    channels = readOnlyField(group);
    sampleRate = readOnlyField(group);
    dataRate = readOnlyField(group);
    alignment = readOnlyField(group);
    sampleSize = readOnlyField(group);
    extra = readOnlyField(group);
    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("Channels:"), group), 0, 0);
    fields->addWidget(channels, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("Sample Rate:"), group), 0, 2);
    fields->addWidget(sampleRate, 0, 3);
    fields->addWidget(new QLabel(QStringLiteral("Data Rate:"), group), 1, 0);
    fields->addWidget(dataRate, 1, 1);
    fields->addWidget(new QLabel(QStringLiteral("Alignment:"), group), 1, 2);
    fields->addWidget(alignment, 1, 3);
    fields->addWidget(new QLabel(QStringLiteral("Sample Size:"), group), 2, 0);
    fields->addWidget(sampleSize, 2, 1);
    fields->addWidget(new QLabel(QStringLiteral("Extra Format:"), group), 2, 2);
    fields->addWidget(extra, 2, 3);
    form->addRow(fields);

    const uint32_t codecs = TalloryGetCodecCount();
    for (uint32_t i = 0; i < codecs; ++i) {
        TalloryCodecInfo info{};
        if (FAILED(TalloryGetCodecAt(i, &info))) continue;
        info.name[sizeof info.name - 1] = '\0';
        QString name = QString::fromUtf8(info.name);
        if (info.formatTag == kTagPcm) name += QStringLiteral(" (default)");
        compressor->addItem(name, static_cast<int>(info.formatTag));
    }
    int at = compressor->findData(static_cast<int>(r.formatTag));
    compressor->setCurrentIndex(at >= 0 ? at : 0);
    QByteArray selected(reinterpret_cast<const char*>(r.format), std::min<int>(r.formatSize, sizeof r.format));
    fillFormats(selected);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(makeButtons(QStringLiteral("Set &Default"), QStringLiteral("&OK"), QStringLiteral("C&ancel")));

    connect(compressor, &QComboBox::currentIndexChanged, this, [this] { fillFormats({}); });
    connect(format, &QComboBox::currentIndexChanged, this, [this] { refreshFields(); });
    connect(ok, &QPushButton::clicked, this, [this] {
        TalloryWaveSettingsRecord chosen = read();
        acceptWith(&chosen, sizeof chosen);
    });
    connect(setDefault, &QPushButton::clicked, this, [this] {
        TalloryWaveSettingsRecord chosen = read();
        store(&chosen);
    });
    refreshFields();
}

void WaveSettingsDialog::fillFormats(const QByteArray& select) {
    const QSignalBlocker blocker(format);
    format->clear();
    format->addItem(QStringLiteral("Automatic Detection (default)"), QByteArray());
    const uint16_t tag = static_cast<uint16_t>(compressor->currentData().toInt());
    for (uint32_t i = 0;; ++i) {
        char record[kFormatRecordRoom];
        uint32_t size = sizeof record;
        char text[kTextRoom] = "";
        HRESULT hr = TalloryGetCodecFormat(tag, i, record, &size, text, sizeof text);
        if (hr == E_INVALIDARG) break;
        if (FAILED(hr)) continue;  // a record larger than the settings can carry
        format->addItem(QString::fromUtf8(text), QByteArray(record, static_cast<int>(size)));
    }
    int at = select.isEmpty() ? 0 : format->findData(select);
    format->setCurrentIndex(at > 0 ? at : 0);
    refreshFields();
}

void WaveSettingsDialog::refreshFields() {
    // With no selection the fields keep what they show and OK waits.
    if (ok != nullptr) ok->setEnabled(format->currentIndex() >= 0);
    if (format->currentIndex() < 0) return;
    QByteArray blob = format->currentData().toByteArray();
    if (blob.size() < static_cast<int>(sizeof(WAVEFORMATEX))) {
        for (QLineEdit* e : {channels, sampleRate, dataRate, alignment, sampleSize, extra}) e->setText("Unknown");
        return;
    }
    WAVEFORMATEX f;
    std::memcpy(&f, blob.constData(), sizeof f);
    const char* mode = f.nChannels == 1 ? "Mono" : f.nChannels == 2 ? "Stereo" : "Unknown";
    channels->setText(QString::asprintf("%d - %s", f.nChannels, mode));
    sampleRate->setText(QString::asprintf("%d Hz", static_cast<int>(f.nSamplesPerSec)));
    dataRate->setText(QStringLiteral("%1 / Sec.").arg(byteSizeText(f.nAvgBytesPerSec)));
    alignment->setText(byteSizeText(f.nBlockAlign));
    sampleSize->setText(QString::asprintf("%d Bits", f.wBitsPerSample));
    extra->setText(f.cbSize != 0 ? byteSizeText(f.cbSize) : QStringLiteral("No extra information"));
}

TalloryWaveSettingsRecord WaveSettingsDialog::read() const {
    TalloryWaveSettingsRecord r{};
    r.formatTag = static_cast<uint16_t>(compressor->currentData().toInt());
    QByteArray blob = format->currentData().toByteArray();
    if (blob.size() >= static_cast<int>(sizeof(WAVEFORMATEX)) && blob.size() <= static_cast<int>(sizeof r.format)) {
        r.formatSize = static_cast<uint16_t>(blob.size());
        std::memcpy(r.format, blob.constData(), static_cast<size_t>(blob.size()));
    }
    return r;
}

// --- Ogg Vorbis ------------------------------------------------------------------

namespace {

int bitrateIndexOf(int kbps) {
    for (int i = 0; i < kOggBitrateCount; ++i) {
        if (kOggBitrates[i] == kbps) return i;
    }
    return 0;
}

// The last entry not above the value.
int bitrateIndexNotAbove(int kbps) {
    int at = 0;
    for (int i = 0; i < kOggBitrateCount; ++i) {
        if (kOggBitrates[i] <= kbps) at = i;
    }
    return at;
}

QSlider* trackbar(QWidget* parent, int maximum, int position) {
    auto* s = new QSlider(Qt::Horizontal, parent);
    s->setRange(0, maximum);
    s->setPageStep(1);
    s->setTickPosition(QSlider::TicksBelow);
    s->setTickInterval(1);
    s->setValue(std::clamp(position, 0, maximum));
    return s;
}

}  // namespace

OggSettingsDialog::OggSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context)
    : FormatDialog(parent, context, QStringLiteral("Ogg Vorbis Audio Settings")) {
    const auto& r = *static_cast<const TalloryOggSettingsRecord*>(context.settings);
    auto* group = new QGroupBox(QStringLiteral("General"), this);
    auto* grid = new QGridLayout(group);
    qualityMode = new QRadioButton(QStringLiteral("Quality-based Variable Bit Rate"), group);
    averageMode = new QRadioButton(QStringLiteral("Average Bit Rate"), group);
    qualityLabel = new QLabel(QStringLiteral("Quality %"), group);
    quality = trackbar(group, 10, r.quality / 10);
    averageLabel = new QLabel(QStringLiteral("Avg."), group);
    average = trackbar(group, kOggBitrateCount - 1, bitrateIndexOf(r.averageKbps));
    useMinimum = new QCheckBox(QStringLiteral("Use Minimum Bitrate"), group);
    minimumLabel = new QLabel(QStringLiteral("Min."), group);
    minimum = trackbar(group, kOggBitrateCount - 1, bitrateIndexOf(r.minimumKbps));
    useMaximum = new QCheckBox(QStringLiteral("Use Maximum Bitrate"), group);
    maximumLabel = new QLabel(QStringLiteral("Max."), group);
    maximum = trackbar(group, kOggBitrateCount - 1, bitrateIndexNotAbove(r.maximumKbps));
    useMinimum->setChecked(r.useMinimum != 0);
    useMaximum->setChecked(r.useMaximum != 0);
    (r.qualityMode != 0 ? qualityMode : averageMode)->setChecked(true);

    // The value at each trackbar, beside it.
    auto valueLabel = [group](QSlider* s, auto text) {
        auto* l = new QLabel(group);
        l->setMinimumWidth(l->fontMetrics().horizontalAdvance(QStringLiteral("320 kbps")));
        auto refresh = [l, s, text] { l->setText(text(s->value())); };
        QObject::connect(s, &QSlider::valueChanged, l, refresh);
        refresh();
        return l;
    };
    auto kbps = [](int i) { return QStringLiteral("%1 kbps").arg(kOggBitrates[std::clamp(i, 0, kOggBitrateCount - 1)]); };
    int row = 0;
    grid->addWidget(qualityMode, row++, 0, 1, 3);
    grid->addWidget(qualityLabel, row, 0);
    grid->addWidget(quality, row, 1);
    grid->addWidget(valueLabel(quality, [](int i) { return QStringLiteral("%1 %").arg(i * 10); }), row++, 2);
    grid->addWidget(averageMode, row++, 0, 1, 3);
    grid->addWidget(averageLabel, row, 0);
    grid->addWidget(average, row, 1);
    grid->addWidget(valueLabel(average, kbps), row++, 2);
    grid->addWidget(useMinimum, row++, 0, 1, 3);
    grid->addWidget(minimumLabel, row, 0);
    grid->addWidget(minimum, row, 1);
    grid->addWidget(valueLabel(minimum, kbps), row++, 2);
    grid->addWidget(useMaximum, row++, 0, 1, 3);
    grid->addWidget(maximumLabel, row, 0);
    grid->addWidget(maximum, row, 1);
    grid->addWidget(valueLabel(maximum, kbps), row++, 2);
    grid->setColumnStretch(1, 1);
    grid->setColumnMinimumWidth(1, fontMetrics().averageCharWidth() * 36);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(makeButtons(QStringLiteral("Set &Default"), QStringLiteral("O&K"), QStringLiteral("C&ancel")));
    for (QAbstractButton* b : {static_cast<QAbstractButton*>(qualityMode), static_cast<QAbstractButton*>(averageMode),
                               static_cast<QAbstractButton*>(useMinimum), static_cast<QAbstractButton*>(useMaximum)}) {
        connect(b, &QAbstractButton::toggled, this, [this] { updateEnabling(); });
    }
    connect(ok, &QPushButton::clicked, this, [this] {
        TalloryOggSettingsRecord chosen = read(*static_cast<const TalloryOggSettingsRecord*>(context_.settings));
        acceptWith(&chosen, sizeof chosen);
    });
    // Ogg Vorbis settings have no stored default: the button only reads the controls.
    connect(setDefault, &QPushButton::clicked, this, [this] {
        auto* record = static_cast<TalloryOggSettingsRecord*>(context_.settings);
        *record = read(*record);
    });
    updateEnabling();
    centreOver(this, parent);
}

void OggSettingsDialog::updateEnabling() {
    const bool q = qualityMode->isChecked();
    qualityLabel->setEnabled(q);
    quality->setEnabled(q);
    averageLabel->setEnabled(!q);
    average->setEnabled(!q);
    useMinimum->setEnabled(!q);
    useMaximum->setEnabled(!q);
    minimumLabel->setEnabled(!q && useMinimum->isChecked());
    minimum->setEnabled(!q && useMinimum->isChecked());
    maximumLabel->setEnabled(!q && useMaximum->isChecked());
    maximum->setEnabled(!q && useMaximum->isChecked());
}

TalloryOggSettingsRecord OggSettingsDialog::read(const TalloryOggSettingsRecord& base) const {
    TalloryOggSettingsRecord r = base;
    if (qualityMode->isChecked()) {
        r.qualityMode = 1;
        r.quality = quality->value() * 10;
    } else {
        r.qualityMode = 0;
        r.averageKbps = kOggBitrates[average->value()];
        r.minimumKbps = kOggBitrates[minimum->value()];
        r.maximumKbps = kOggBitrates[maximum->value()];
        r.useMinimum = useMinimum->isChecked() ? 1 : 0;
        r.useMaximum = useMaximum->isChecked() ? 1 : 0;
    }
    return r;
}

// --- Windows Media -------------------------------------------------------------------

WmaSettingsDialog::WmaSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context)
    : FormatDialog(parent, context, QStringLiteral("Windows Media Audio Settings")) {
    const auto& r = *static_cast<const TalloryWmaSettingsRecord*>(context.settings);
    auto* group = new QGroupBox(QStringLiteral("General"), this);
    auto* form = new QFormLayout(group);
    codec = new QComboBox(group);
    format = new QComboBox(group);
    format->setMinimumContentsLength(30);
    form->addRow(QStringLiteral("&Codec:"), codec);
    form->addRow(QStringLiteral("&Format:"), format);
    auto* note = new QLabel(QStringLiteral(
                                "Note: If you select a format which uses variable bitrate (VBR), the generated Windows "
                                "Media file cannot be played correctly with Windows Media Player 6.4 or earlier."),
                            group);
    note->setWordWrap(true);
    form->addRow(note);

    const int codecs = context.wmaCodecCount != nullptr ? context.wmaCodecCount() : 0;
    for (int i = 0; i < codecs; ++i) {
        char name[kTextRoom] = "";
        if (context.wmaCodecName != nullptr && context.wmaCodecName(i, name, sizeof name)) {
            codec->addItem(QString::fromUtf8(name), i);
        }
    }
    int at = codec->findData(r.codecIndex);
    codec->setCurrentIndex(at >= 0 ? at : 0);
    fillFormats(r.mode, r.formatIndex);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(makeButtons(QStringLiteral("Set Default"), QStringLiteral("OK"), QStringLiteral("Cancel")));
    connect(codec, &QComboBox::currentIndexChanged, this, [this] { fillFormats(-1, -1); });
    connect(ok, &QPushButton::clicked, this, [this] {
        TalloryWmaSettingsRecord chosen = read();
        acceptWith(&chosen, sizeof chosen);
    });
    connect(setDefault, &QPushButton::clicked, this, [this] {
        TalloryWmaSettingsRecord chosen = read();
        store(&chosen);
    });
    ok->setEnabled(format->count() > 0);
}

void WmaSettingsDialog::fillFormats(int mode, int index) {
    format->clear();
    const int c = codec->currentData().toInt();
    for (int m = 0; m <= 2; ++m) {
        const int n = context_.wmaFormatCount != nullptr ? context_.wmaFormatCount(c, m) : 0;
        for (int i = 0; i < n; ++i) {
            char text[kTextRoom] = "";
            if (context_.wmaFormatText == nullptr || !context_.wmaFormatText(c, m, i, text, sizeof text)) continue;
            QString t = QString::fromUtf8(text);
            // Formats for audio with video are not for audio files.
            if (t.contains(QStringLiteral("(A/V)"))) continue;
            format->addItem(t, QVariant::fromValue(QPoint(m, i)));
        }
    }
    int at = format->findData(QVariant::fromValue(QPoint(mode, index)));
    // No stored choice (or one past the list): the format a conversion would use.
    if (at < 0) at = format->findText(QStringLiteral("128 kbps, 44 kHz, stereo CBR"));
    format->setCurrentIndex(at >= 0 ? at : (format->count() > 0 ? 0 : -1));
    if (ok != nullptr) ok->setEnabled(format->count() > 0);
}

TalloryWmaSettingsRecord WmaSettingsDialog::read() const {
    TalloryWmaSettingsRecord r = *static_cast<const TalloryWmaSettingsRecord*>(context_.settings);
    r.codecIndex = codec->currentData().toInt();
    if (format->currentIndex() >= 0) {
        QPoint entry = format->currentData().value<QPoint>();
        r.mode = entry.x();
        r.formatIndex = entry.y();
    }
    return r;
}

}  // namespace tallory::ui
