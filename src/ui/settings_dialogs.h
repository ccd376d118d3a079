// The settings dialogs of the Wave, Ogg Vorbis, Windows Media and MP3 targets.
// Each edits the plain record its TalloryFormatDialogContext points at.
#ifndef TALLORY_UI_SETTINGS_DIALOGS_H
#define TALLORY_UI_SETTINGS_DIALOGS_H

#include <QByteArray>
#include <QDialog>
#include <QVector>

#include "tallory/ui_bridge.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class TallorySlider;

namespace tallory::ui {

// What every format dialog shares: the title with " (default)" in default
// mode, "Set Default" hidden there, and storing through the core.
class FormatDialog : public QDialog {
public:
    FormatDialog(QWidget* parent, TalloryFormatDialogContext& context, const QString& title);
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QPushButton* setDefault = nullptr;  // null where the format has none to show

protected:
    // Buttons in the order the format gives; labels as the format names them.
    QDialogButtonBox* makeButtons(const QString& setDefaultText, const QString& okText, const QString& cancelText);
    // Stores `record` as the default under a wait cursor; tells the user when the store refused.
    bool store(const void* record);
    // Reads the controls into the context's record (and stores it in default mode) and closes.
    void acceptWith(const void* record, size_t size);
    TalloryFormatDialogContext& context_;
};

class WaveSettingsDialog : public FormatDialog {
public:
    WaveSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context);
    QComboBox* compressor = nullptr;
    QComboBox* format = nullptr;
    QLineEdit* channels = nullptr;
    QLineEdit* sampleRate = nullptr;
    QLineEdit* dataRate = nullptr;
    QLineEdit* alignment = nullptr;
    QLineEdit* sampleSize = nullptr;
    QLineEdit* extra = nullptr;
    TalloryWaveSettingsRecord read() const;

private:
    void fillFormats(const QByteArray& select);
    void refreshFields();
};

class OggSettingsDialog : public FormatDialog {
public:
    OggSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context);
    QRadioButton* qualityMode = nullptr;
    QRadioButton* averageMode = nullptr;
    QLabel* qualityLabel = nullptr;
    QSlider* quality = nullptr;
    QLabel* averageLabel = nullptr;
    QSlider* average = nullptr;
    QCheckBox* useMinimum = nullptr;
    QLabel* minimumLabel = nullptr;
    QSlider* minimum = nullptr;
    QCheckBox* useMaximum = nullptr;
    QLabel* maximumLabel = nullptr;
    QSlider* maximum = nullptr;
    // The record as the controls give it, starting from `base`.
    TalloryOggSettingsRecord read(const TalloryOggSettingsRecord& base) const;

private:
    void updateEnabling();
};

class WmaSettingsDialog : public FormatDialog {
public:
    WmaSettingsDialog(QWidget* parent, TalloryFormatDialogContext& context);
    QComboBox* codec = nullptr;
    QComboBox* format = nullptr;
    TalloryWmaSettingsRecord read() const;

private:
    void fillFormats(int mode, int index);
};

class Mp3SettingsDialog : public FormatDialog {
public:
    Mp3SettingsDialog(QWidget* parent, TalloryFormatDialogContext& context);
    QComboBox* encoder = nullptr;
    TallorySlider* bitrate = nullptr;
    QLineEdit* bitrateValue = nullptr;
    QLabel* bitrateLow = nullptr;
    QLabel* bitrateHigh = nullptr;
    QLabel* maxLabel = nullptr;
    TallorySlider* maxBitrate = nullptr;
    QLineEdit* maxBitrateValue = nullptr;
    QLabel* maxLow = nullptr;
    QLabel* maxHigh = nullptr;
    QComboBox* sampleRate = nullptr;
    QComboBox* vbrQuality = nullptr;
    QCheckBox* vbr = nullptr;
    QCheckBox* crc = nullptr;
    QCheckBox* original = nullptr;
    QCheckBox* copyright = nullptr;
    QCheckBox* privateFlag = nullptr;
    QCheckBox* mpeg2 = nullptr;
    // The record as the controls give it.
    TalloryMp3SettingsRecord read() const;
    QVector<int> bitrates() const { return bitrates_; }

private:
    void rebuild();  // from record_: the bitrate lists and the sample-rate list
    void updateEnabling();
    void showValues();
    TalloryMp3SettingsRecord record_;
    QVector<int> bitrates_;
};

// The bitrates (kbps) the MP3 dialog offers for an encoder.
QVector<int> mp3Bitrates(int encoder, bool mpeg2);
// The sample-rate entries as (rate, mode) with their texts; the first is "Auto-detect (default)".
struct RateEntry {
    int rate;
    int mode;
    QString text;
};
QVector<RateEntry> mp3SampleRates(int encoder, bool mpeg2);

}  // namespace tallory::ui

#endif
