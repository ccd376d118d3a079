#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <utility>

#include "tallory/codecs.h"
#include "tallory/qt/tallory_slider.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_helpers.h"

namespace tallory::ui {

namespace {

constexpr int kBladeEnc = 1;
constexpr int kLame = 2;
constexpr int kCodec = 3;
constexpr uint16_t kTagMpegLayer3 = 0x55;
// The ACM codec's list is read until its end, but never past this many formats.
constexpr uint32_t kMaxCodecFormats = 4096;

const char* const kQualityNames[10] = {"Best", "Almost Best", "Very Good", "Good",           "Average",
                                       "Low",  "Very Low",    "Poor",      "Even More Poor", "Lowest"};

const char* lameModeName(int mode) {
    switch (mode) {
        case 0: return "stereo";
        case 1: return "joined stereo";
        case 2: return "dual channel";
        default: return "mono";
    }
}

// Every MPEG Layer-3 format the codec table lists.
std::vector<WAVEFORMATEX> codecFormats() {
    std::vector<WAVEFORMATEX> list;
    for (uint32_t i = 0; i < kMaxCodecFormats; ++i) {
        uint8_t record[TALLORY_WAVE_FORMAT_MAX];
        uint32_t size = sizeof record;
        HRESULT hr = TalloryGetCodecFormat(kTagMpegLayer3, i, record, &size, nullptr, 0);
        if (hr == E_INVALIDARG) break;
        if (FAILED(hr) || size < sizeof(WAVEFORMATEX)) continue;
        WAVEFORMATEX f;
        std::memcpy(&f, record, sizeof f);
        list.push_back(f);
    }
    return list;
}

QString rateText(int rate, const char* mode) {
    return QString::asprintf("%d,%03d Hz, %s", rate / 1000, rate % 1000, mode);
}

// The first entry not below the value, or the last.
int positionFor(const QVector<int>& list, int value) {
    for (int i = 0; i < list.size(); ++i) {
        if (list[i] >= value) return i;
    }
    return std::max(0, static_cast<int>(list.size()) - 1);
}

}  // namespace

QVector<int> mp3Bitrates(int encoder, bool mpeg2) {
    if (encoder == kCodec) {
        QVector<int> list;
        for (const WAVEFORMATEX& f : codecFormats()) list.push_back(static_cast<int>(f.nAvgBytesPerSec / 125));
        std::stable_sort(list.begin(), list.end());
        return list;
    }
    if (encoder == kLame && mpeg2) return {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    return {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
}

QVector<RateEntry> mp3SampleRates(int encoder, bool mpeg2) {
    QVector<RateEntry> list{{0, 0, QStringLiteral("Auto-detect (default)")}};
    if (encoder == kCodec) {
        std::set<std::pair<int, int>, std::greater<>> pairs;
        for (const WAVEFORMATEX& f : codecFormats()) pairs.insert({static_cast<int>(f.nSamplesPerSec), f.nChannels});
        for (const auto& [rate, channels] : pairs) {
            list.push_back({rate, channels, rateText(rate, channels == 1 ? "mono" : "stereo")});
        }
        return list;
    }
    QVector<int> rates;
    QVector<int> modes;
    if (encoder == kBladeEnc) {
        rates = {48000, 44100, 32000};
        modes = {2, 3};
    } else {
        rates = {48000, 44100, 32000, 24000, 22050, 16000};
        if (mpeg2) rates += {12000, 11025, 8000};
        modes = {0, 1, 2, 3};
    }
    for (int rate : rates) {
        for (int mode : modes) list.push_back({rate, mode, rateText(rate, lameModeName(mode))});
    }
    return list;
}

Mp3SettingsDialog::Mp3SettingsDialog(QWidget* parent, TalloryFormatDialogContext& context)
    : FormatDialog(parent, context, QStringLiteral("MPEG Layer-3 Audio Settings")) {
    std::memcpy(&record_, context.settings, sizeof record_);
    auto* group = new QGroupBox(QStringLiteral("General"), this);
    auto* grid = new QGridLayout(group);
    encoder = new QComboBox(group);
    encoder->addItem(QStringLiteral("BladeEnc"), kBladeEnc);
    encoder->addItem(QStringLiteral("L.A.M.E (Lame ain't an MP3 Encoder)"), kLame);
    encoder->addItem(QStringLiteral("MPEG Layer-3 Codec"), kCodec);

    auto sliderRow = [group](TallorySlider*& slider, QLineEdit*& value, QLabel*& low, QLabel*& high, int id) {
        slider = new TallorySlider(group, id);
        slider->setMinimumWidth(160);
        value = new QLineEdit(group);
        value->setReadOnly(true);
        value->setMaximumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 16);
        value->setFocusPolicy(Qt::NoFocus);
        low = new QLabel(group);
        high = new QLabel(group);
        high->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    };
    sliderRow(bitrate, bitrateValue, bitrateLow, bitrateHigh, 1);
    sliderRow(maxBitrate, maxBitrateValue, maxLow, maxHigh, 2);
    sampleRate = new QComboBox(group);
    vbrQuality = new QComboBox(group);
    for (int i = 0; i < 10; ++i) vbrQuality->addItem(QString::asprintf("%d - %s", i, kQualityNames[i]), i);
    vbr = new QCheckBox(QStringLiteral("Enable Variable Bitrate (VBR)"), group);
    crc = new QCheckBox(QStringLiteral("Generate CRC for each frame"), group);
    original = new QCheckBox(QStringLiteral("&Original Flag"), group);
    copyright = new QCheckBox(QStringLiteral("&Copyright Flag"), group);
    privateFlag = new QCheckBox(QStringLiteral("&Private Flag"), group);
    mpeg2 = new QCheckBox(QStringLiteral("Use MPEG-II"), group);

    int row = 0;
    auto* encoderLabel = new QLabel(QStringLiteral("&Encoder:"), group);
    encoderLabel->setBuddy(encoder);
    grid->addWidget(encoderLabel, row, 0);
    grid->addWidget(encoder, row++, 1, 1, 3);
    auto addSlider = [&](const QString& label, TallorySlider* s, QLineEdit* v, QLabel* low, QLabel* high,
                         QLabel** labelOut) {
        auto* l = new QLabel(label, group);
        if (labelOut != nullptr) *labelOut = l;
        grid->addWidget(l, row, 0);
        grid->addWidget(s, row, 1, 1, 2);
        grid->addWidget(v, row++, 3);
        grid->addWidget(low, row, 1);
        grid->addWidget(high, row++, 2);
    };
    addSlider(QStringLiteral("Bitrate:"), bitrate, bitrateValue, bitrateLow, bitrateHigh, nullptr);
    addSlider(QStringLiteral("Max. Bitrate:"), maxBitrate, maxBitrateValue, maxLow, maxHigh, &maxLabel);
    auto* rateLabel = new QLabel(QStringLiteral("&Sample Rate:"), group);
    rateLabel->setBuddy(sampleRate);
    grid->addWidget(rateLabel, row, 0);
    grid->addWidget(sampleRate, row++, 1, 1, 3);
    auto* qualityLabel = new QLabel(QStringLiteral("VBR &Quality:"), group);
    qualityLabel->setBuddy(vbrQuality);
    grid->addWidget(qualityLabel, row, 0);
    grid->addWidget(vbrQuality, row++, 1, 1, 3);
    grid->addWidget(vbr, row, 0, 1, 2);
    grid->addWidget(crc, row++, 2, 1, 2);
    grid->addWidget(original, row, 0, 1, 2);
    grid->addWidget(copyright, row++, 2, 1, 2);
    grid->addWidget(privateFlag, row, 0, 1, 2);
    grid->addWidget(mpeg2, row++, 2, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(makeButtons(QStringLiteral("Set &Default"), QStringLiteral("O&K"), QStringLiteral("C&ancel")));

    {
        const QSignalBlocker b(encoder);
        int at = encoder->findData(record_.encoder);
        encoder->setCurrentIndex(at >= 0 ? at : 1);
    }
    vbr->setChecked(record_.vbr != 0);
    crc->setChecked(record_.crc != 0);
    original->setChecked(record_.original != 0);
    copyright->setChecked(record_.copyright != 0);
    privateFlag->setChecked(record_.privateFlag != 0);
    mpeg2->setChecked(record_.mpeg2 != 0);
    vbrQuality->setCurrentIndex(std::clamp(record_.vbrQuality, 0, 9));
    rebuild();
    updateEnabling();

    connect(encoder, &QComboBox::currentIndexChanged, this, [this] {
        record_ = read();
        rebuild();
        updateEnabling();
    });
    connect(mpeg2, &QCheckBox::toggled, this, [this] {
        record_ = read();
        rebuild();
    });
    connect(vbr, &QCheckBox::toggled, this, [this] { updateEnabling(); });
    connect(bitrate, &TallorySlider::notified, this, [this] { showValues(); });
    connect(maxBitrate, &TallorySlider::notified, this, [this] { showValues(); });
    connect(ok, &QPushButton::clicked, this, [this] {
        TalloryMp3SettingsRecord chosen = read();
        acceptWith(&chosen, sizeof chosen);
    });
    connect(setDefault, &QPushButton::clicked, this, [this] {
        TalloryMp3SettingsRecord chosen = read();
        store(&chosen);
    });
    centreOver(this, parent);
}

void Mp3SettingsDialog::rebuild() {
    const int enc = encoder->currentData().toInt();
    // MPEG-II belongs to LAME; read() already keeps the record's flag for the others.
    bitrates_ = mp3Bitrates(enc, enc == kLame && mpeg2->isChecked());
    const int top = std::max(0, static_cast<int>(bitrates_.size()) - 1);
    for (TallorySlider* s : {bitrate, maxBitrate}) s->setMaximum(top);
    bitrate->setPosition(positionFor(bitrates_, record_.bitrate));
    maxBitrate->setPosition(positionFor(bitrates_, record_.maxBitrate));
    const QString low = bitrates_.isEmpty() ? QString() : QString::asprintf("%d kBits / sec.", bitrates_.front());
    const QString high = bitrates_.isEmpty() ? QString() : QString::asprintf("%d kbps", bitrates_.back());
    bitrateLow->setText(low);
    maxLow->setText(low);
    bitrateHigh->setText(high);
    maxHigh->setText(high);

    const QSignalBlocker b(sampleRate);
    sampleRate->clear();
    int selected = 0;
    const QVector<RateEntry> rates = mp3SampleRates(enc, enc == kLame && mpeg2->isChecked());
    for (int i = 0; i < rates.size(); ++i) {
        sampleRate->addItem(rates[i].text, QVariant::fromValue(QPoint(rates[i].rate, rates[i].mode)));
        if (rates[i].rate == record_.sampleRate && rates[i].mode == record_.channelMode) selected = i;
    }
    sampleRate->setCurrentIndex(selected);
    showValues();
}

void Mp3SettingsDialog::showValues() {
    auto valueAt = [this](const TallorySlider* s) {
        int i = s->position();
        return i >= 0 && i < bitrates_.size() ? QString::number(bitrates_[i]) : QString();
    };
    bitrateValue->setText(valueAt(bitrate));
    maxBitrateValue->setText(valueAt(maxBitrate));
}

void Mp3SettingsDialog::updateEnabling() {
    const bool lame = encoder->currentData().toInt() == kLame;
    mpeg2->setEnabled(lame);
    vbr->setEnabled(lame);
    const bool variable = lame && vbr->isChecked();
    vbrQuality->setEnabled(variable);
    maxLabel->setEnabled(variable);
    maxBitrate->setEnabled(variable);
    maxBitrateValue->setEnabled(variable);
}

TalloryMp3SettingsRecord Mp3SettingsDialog::read() const {
    TalloryMp3SettingsRecord r = record_;
    r.encoder = encoder->currentData().toInt();
    r.vbr = vbr->isChecked() ? 1 : 0;
    r.crc = crc->isChecked() ? 1 : 0;
    r.original = original->isChecked() ? 1 : 0;
    r.copyright = copyright->isChecked() ? 1 : 0;
    r.privateFlag = privateFlag->isChecked() ? 1 : 0;
    r.mpeg2 = mpeg2->isChecked() ? 1 : 0;
    auto valueAt = [this](const TallorySlider* s, int fallback) {
        int i = s->position();
        return i >= 0 && i < bitrates_.size() ? bitrates_[i] : fallback;
    };
    r.bitrate = valueAt(bitrate, r.bitrate);
    r.maxBitrate = valueAt(maxBitrate, r.maxBitrate);
    if (sampleRate->currentIndex() >= 0) {
        QPoint entry = sampleRate->currentData().value<QPoint>();
        r.sampleRate = entry.x();
        r.channelMode = entry.y();
    }
    r.vbrQuality = vbrQuality->currentIndex() >= 0 ? vbrQuality->currentIndex() : r.vbrQuality;
    return r;
}

}  // namespace tallory::ui
