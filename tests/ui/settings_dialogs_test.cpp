// The four format settings dialogs, driven through the targets' ShowSettings
// and ConvDefOutputSettings: enabling rules, and what each writes into the
// target, its companions and the stored default (read back through the
// targets' own settings texts).
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

#include <string>

#include <gtest/gtest.h>

#include "tallory/formats.h"
#include "tallory/ref.h"
#include "tallory/settings.h"
#include "tallory/qt/tallory_slider.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_helpers.h"
#include "ui_test_support.h"

using tallory::Ref;
using namespace tallory::ui;

namespace {

Ref<IConvTarget> makeTarget(const CLSID& cls) {
    IConvTarget* t = nullptr;
    EXPECT_EQ(ConvCreateObject(cls, &IID_IConvTarget, reinterpret_cast<void**>(&t)), S_OK);
    return Ref<IConvTarget>(t);
}

std::string settingsText(IConvTarget* t) {
    char text[1024] = "";
    EXPECT_TRUE(t->GetSettingsText(text, sizeof text));
    return text;
}

std::string defaultText(const char* format) {
    FormatInfo info;
    EXPECT_EQ(ConvGetFormatByName(&info, format), S_OK);
    char text[1024] = "";
    EXPECT_EQ(ConvDefOutputSettingsString(text, sizeof text, &info), S_OK);
    return text;
}

template <class Dialog>
void whenDialog(std::function<void(Dialog*)> drive) {
    whenModal([drive](QWidget* w) {
        auto* d = dynamic_cast<Dialog*>(w);
        if (d == nullptr) {
            ADD_FAILURE() << "another dialog opened: " << w->metaObject()->className();
            static_cast<QDialog*>(w)->reject();
            return;
        }
        drive(d);
    });
}

void selectData(QComboBox* box, const QVariant& data) {
    int i = box->findData(data);
    ASSERT_GE(i, 0);
    box->setCurrentIndex(i);
}

}  // namespace

TEST(WaveDialog, FieldsFollowTheSelectionAndOkSetsEveryWaveTarget) {
    PutProfileString("WAV", nullptr, nullptr);
    Ref<IConvTarget> wav = makeTarget(CLSID_WavTarget);
    Ref<IConvTarget> other = makeTarget(CLSID_WavTarget);
    Ref<IConvTarget> mp3 = makeTarget(CLSID_Mp3Target);
    const std::string mp3Before = settingsText(mp3.get());
    EXPECT_EQ(settingsText(wav.get()), "PCM; auto detection");
    std::string chosenText;
    whenDialog<WaveSettingsDialog>([&](WaveSettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Wave Audio Settings");
        EXPECT_TRUE(d->setDefault->isVisible());
        EXPECT_EQ(d->compressor->currentText(), "PCM (default)");
        EXPECT_EQ(d->format->currentText(), "Automatic Detection (default)");
        EXPECT_EQ(d->channels->text(), "Unknown");
        EXPECT_EQ(d->extra->text(), "Unknown");
        screenshot(d, "wave_settings");
        selectData(d->compressor, 0x11);  // IMA ADPCM: the format list is refilled
        ASSERT_GT(d->format->count(), 1);
        EXPECT_EQ(d->format->itemText(0), "Automatic Detection (default)");
        int pick = -1;
        for (int i = 1; i < d->format->count(); ++i) {
            if (d->format->itemText(i).startsWith("44,100 Hz") && d->format->itemText(i).contains("Stereo")) pick = i;
        }
        ASSERT_GT(pick, 0);
        d->format->setCurrentIndex(pick);
        chosenText = d->format->currentText().toStdString();
        QByteArray record = d->format->currentData().toByteArray();
        WAVEFORMATEX f;
        std::memcpy(&f, record.constData(), sizeof f);
        EXPECT_EQ(d->channels->text(), "2 - Stereo");
        EXPECT_EQ(d->sampleRate->text(), "44100 Hz");
        EXPECT_EQ(d->sampleSize->text(), QString::asprintf("%d Bits", f.wBitsPerSample));
        EXPECT_EQ(d->dataRate->text(), byteSizeText(f.nAvgBytesPerSec) + " / Sec.");
        EXPECT_EQ(d->alignment->text(), byteSizeText(f.nBlockAlign));
        EXPECT_EQ(d->extra->text(), byteSizeText(f.cbSize)) << "IMA ADPCM carries samples per block";
        screenshot(d, "wave_settings_ima");
        d->ok->click();
    });
    IConvTarget* others[] = {other.get(), mp3.get(), nullptr};
    EXPECT_TRUE(wav->ShowSettings(nullptr, others));
    EXPECT_EQ(settingsText(wav.get()), "IMA ADPCM; " + chosenText);
    EXPECT_EQ(settingsText(other.get()), "IMA ADPCM; " + chosenText);
    EXPECT_EQ(settingsText(mp3.get()), mp3Before) << "only Wave targets take Wave settings";
    EXPECT_EQ(defaultText("Wave"), "PCM; auto detection") << "OK in normal mode stores nothing";

    // Cancel changes nothing; Set Default stores at once and keeps the dialog open.
    whenDialog<WaveSettingsDialog>([&](WaveSettingsDialog* d) {
        EXPECT_EQ(d->compressor->currentData().toInt(), 0x11);
        EXPECT_EQ(d->format->currentText().toStdString(), chosenText);
        selectData(d->compressor, 0x07);  // u-Law, automatic format
        d->setDefault->click();
        EXPECT_TRUE(d->isVisible());
        d->cancel->click();
    });
    EXPECT_FALSE(wav->ShowSettings(nullptr, nullptr));
    EXPECT_EQ(settingsText(wav.get()), "IMA ADPCM; " + chosenText);
    EXPECT_EQ(defaultText("Wave"), "CCITT u-Law; auto detection");
    PutProfileString("WAV", nullptr, nullptr);
}

TEST(WaveDialog, DefaultModeStoresOnOk) {
    PutProfileString("WAV", nullptr, nullptr);
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatByName(&info, "Wave"), S_OK);
    whenDialog<WaveSettingsDialog>([&](WaveSettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Wave Audio Settings (default)");
        EXPECT_FALSE(d->setDefault->isVisible());
        selectData(d->compressor, 0x06);
        d->format->setCurrentIndex(1);
        d->ok->click();
    });
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), S_OK);
    EXPECT_EQ(defaultText("Wave").rfind("CCITT A-Law; ", 0), 0u);
    EXPECT_NE(defaultText("Wave"), "CCITT A-Law; auto detection");
    Ref<IConvTarget> fresh = makeTarget(CLSID_WavTarget);
    EXPECT_EQ(settingsText(fresh.get()), defaultText("Wave"));
    whenDialog<WaveSettingsDialog>([](WaveSettingsDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), E_ABORT);
    PutProfileString("WAV", nullptr, nullptr);
}

TEST(OggDialog, EnablingRulesAndTheValuesEachModeReads) {
    Ref<IConvTarget> ogg = makeTarget(CLSID_OggTarget);
    Ref<IConvTarget> other = makeTarget(CLSID_OggTarget);
    EXPECT_EQ(settingsText(ogg.get()), "VBR Quality 40%");
    whenDialog<OggSettingsDialog>([&](OggSettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Ogg Vorbis Audio Settings");
        EXPECT_TRUE(d->qualityMode->isChecked());
        EXPECT_EQ(d->quality->value(), 4);
        EXPECT_TRUE(d->quality->isEnabled());
        EXPECT_FALSE(d->average->isEnabled());
        EXPECT_FALSE(d->useMinimum->isEnabled());
        EXPECT_FALSE(d->useMaximum->isEnabled());
        EXPECT_FALSE(d->minimum->isEnabled());
        EXPECT_EQ(d->average->value(), 2) << "96 kbps is the third entry";
        EXPECT_EQ(d->maximum->value(), 7);
        screenshot(d, "ogg_settings");
        d->averageMode->click();
        EXPECT_FALSE(d->quality->isEnabled());
        EXPECT_FALSE(d->qualityLabel->isEnabled());
        EXPECT_TRUE(d->average->isEnabled());
        EXPECT_TRUE(d->useMinimum->isEnabled());
        EXPECT_FALSE(d->minimum->isEnabled()) << "Min. needs its check box";
        d->useMinimum->click();
        EXPECT_TRUE(d->minimum->isEnabled());
        EXPECT_TRUE(d->minimumLabel->isEnabled());
        EXPECT_FALSE(d->maximum->isEnabled());
        d->average->setValue(3);
        d->minimum->setValue(1);
        d->quality->setValue(9);  // disabled: not read in average mode
        screenshot(d, "ogg_settings_average");
        d->ok->click();
    });
    IConvTarget* others[] = {other.get(), nullptr};
    EXPECT_TRUE(ogg->ShowSettings(nullptr, others));
    EXPECT_EQ(settingsText(ogg.get()), "ABR 128 kbps; Min. 64 kbps");
    EXPECT_EQ(settingsText(other.get()), "ABR 128 kbps; Min. 64 kbps");

    whenDialog<OggSettingsDialog>([&](OggSettingsDialog* d) {
        EXPECT_TRUE(d->averageMode->isChecked());
        EXPECT_EQ(d->average->value(), 3);
        EXPECT_TRUE(d->useMinimum->isChecked());
        d->qualityMode->click();
        d->quality->setValue(7);
        d->ok->click();
    });
    EXPECT_TRUE(ogg->ShowSettings(nullptr, nullptr));
    EXPECT_EQ(settingsText(ogg.get()), "VBR Quality 70%");
    EXPECT_EQ(settingsText(other.get()), "ABR 128 kbps; Min. 64 kbps");
}

TEST(WmaDialog, CodecAndFormatListsAndWhatOkWrites) {
    PutProfileString("WMA9", nullptr, nullptr);
    Ref<IConvTarget> wma = makeTarget(CLSID_WmaTarget);
    Ref<IConvTarget> other = makeTarget(CLSID_WmaTarget);
    std::string chosen;
    whenDialog<WmaSettingsDialog>([&](WmaSettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Windows Media Audio Settings");
        ASSERT_GE(d->codec->count(), 1);
        ASSERT_GE(d->format->count(), 2);
        EXPECT_EQ(d->format->currentText().toStdString(), settingsText(wma.get())) << "the settings' entry is selected";
        for (int i = 0; i < d->format->count(); ++i) EXPECT_FALSE(d->format->itemText(i).contains("(A/V)"));
        screenshot(d, "wma_settings");
        d->format->setCurrentIndex(d->format->count() - 1);
        chosen = d->format->currentText().toStdString();
        d->ok->click();
    });
    IConvTarget* others[] = {other.get(), nullptr};
    EXPECT_TRUE(wma->ShowSettings(nullptr, others));
    EXPECT_EQ(settingsText(wma.get()), chosen);
    EXPECT_EQ(settingsText(other.get()), chosen);

    // Set Default stores the selection at once.
    whenDialog<WmaSettingsDialog>([&](WmaSettingsDialog* d) {
        EXPECT_EQ(d->format->currentText().toStdString(), chosen);
        d->format->setCurrentIndex(1);
        chosen = d->format->currentText().toStdString();
        d->setDefault->click();
        d->cancel->click();
    });
    EXPECT_FALSE(wma->ShowSettings(nullptr, nullptr));
    EXPECT_EQ(defaultText("Windows Media"), chosen);

    // Default mode: the title says so, no Set Default, OK stores.
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatByName(&info, "Windows Media"), S_OK);
    whenDialog<WmaSettingsDialog>([&](WmaSettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Windows Media Audio Settings (default)");
        EXPECT_FALSE(d->setDefault->isVisible());
        EXPECT_EQ(d->format->currentText().toStdString(), chosen);
        d->format->setCurrentIndex(0);
        chosen = d->format->currentText().toStdString();
        d->ok->click();
    });
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), S_OK);
    EXPECT_EQ(defaultText("Windows Media"), chosen);
    Ref<IConvTarget> fresh = makeTarget(CLSID_WmaTarget);
    EXPECT_EQ(settingsText(fresh.get()), chosen) << "a new target starts from the stored default";
    PutProfileString("WMA9", nullptr, nullptr);
}

TEST(Mp3Dialog, EnablingRulesListsAndTheRecordOkWrites) {
    PutProfileString("MP3", nullptr, nullptr);
    Ref<IConvTarget> mp3 = makeTarget(CLSID_Mp3Target);
    Ref<IConvTarget> other = makeTarget(CLSID_Mp3Target);
    EXPECT_EQ(settingsText(mp3.get()), "L.A.M.E.; 128 kbps; auto kHz; CRC off");
    whenDialog<Mp3SettingsDialog>([&](Mp3SettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "MPEG Layer-3 Audio Settings");
        EXPECT_EQ(d->encoder->currentText(), "L.A.M.E (Lame ain't an MP3 Encoder)");
        EXPECT_EQ(d->bitrate->maximum(), 13);
        EXPECT_EQ(d->bitrate->position(), 8) << "128 kbps";
        EXPECT_EQ(d->bitrateValue->text(), "128");
        EXPECT_EQ(d->maxBitrate->position(), 13);
        EXPECT_EQ(d->bitrateLow->text(), "32 kBits / sec.");
        EXPECT_EQ(d->bitrateHigh->text(), "320 kbps");
        EXPECT_EQ(d->sampleRate->itemText(0), "Auto-detect (default)");
        EXPECT_EQ(d->sampleRate->count(), 1 + 6 * 4);
        EXPECT_EQ(d->vbrQuality->itemText(9), "9 - Lowest");
        EXPECT_TRUE(d->mpeg2->isEnabled());
        EXPECT_TRUE(d->vbr->isEnabled());
        EXPECT_FALSE(d->vbrQuality->isEnabled());
        EXPECT_FALSE(d->maxBitrate->isEnabled());
        d->vbr->click();
        EXPECT_TRUE(d->vbrQuality->isEnabled());
        EXPECT_TRUE(d->maxBitrate->isEnabled());
        EXPECT_TRUE(d->maxLabel->isEnabled());
        screenshot(d, "mp3_settings");

        // MPEG-II brings the low bitrates and the low sample rates.
        d->mpeg2->click();
        EXPECT_EQ(d->bitrates().front(), 8);
        EXPECT_EQ(d->bitrates().back(), 160);
        EXPECT_EQ(d->bitrateValue->text(), "128");
        EXPECT_EQ(d->sampleRate->count(), 1 + 9 * 4);
        EXPECT_GE(d->sampleRate->findText("8,000 Hz, mono"), 0);
        d->mpeg2->click();
        EXPECT_EQ(d->sampleRate->count(), 1 + 6 * 4);
        // The round trip through the shorter list kept the highest entry it had: 160.
        EXPECT_EQ(d->maxBitrateValue->text(), "160");
        d->maxBitrate->setFocus();
        QTest::keyClick(d->maxBitrate, Qt::Key_End);
        EXPECT_EQ(d->maxBitrateValue->text(), "320");

        // BladeEnc: no MPEG-II, no VBR, three rates with two modes.
        selectData(d->encoder, 1);
        EXPECT_FALSE(d->mpeg2->isEnabled());
        EXPECT_FALSE(d->vbr->isEnabled());
        EXPECT_FALSE(d->vbrQuality->isEnabled());
        EXPECT_FALSE(d->maxBitrate->isEnabled());
        EXPECT_EQ(d->sampleRate->count(), 1 + 3 * 2);
        EXPECT_EQ(d->sampleRate->itemText(1), "48,000 Hz, dual channel");
        screenshot(d, "mp3_settings_bladeenc");
        selectData(d->encoder, 2);

        d->sampleRate->setCurrentIndex(d->sampleRate->findText("44,100 Hz, joined stereo"));
        d->original->click();
        d->vbrQuality->setCurrentIndex(5);
        // Keyboard on the slider: Left takes the bitrate below.
        d->bitrate->setFocus();
        QTest::keyClick(d->bitrate, Qt::Key_Left);
        EXPECT_EQ(d->bitrateValue->text(), "112");
        d->ok->click();
    });
    IConvTarget* others[] = {other.get(), nullptr};
    EXPECT_TRUE(mp3->ShowSettings(nullptr, others));
    const std::string expected = "L.A.M.E.; 112 - 320 kbps; VBR quality 5; 44 kHz / joined stereo; org; CRC off";
    EXPECT_EQ(settingsText(mp3.get()), expected);
    EXPECT_EQ(settingsText(other.get()), expected);

    // Default mode: no Set Default, OK stores.
    FormatInfo info;
    ASSERT_EQ(ConvGetFormatByName(&info, "MP3"), S_OK);
    whenDialog<Mp3SettingsDialog>([&](Mp3SettingsDialog* d) {
        EXPECT_EQ(d->windowTitle(), "MPEG Layer-3 Audio Settings (default)");
        EXPECT_FALSE(d->setDefault->isVisible());
        d->crc->click();
        d->ok->click();
    });
    EXPECT_EQ(ConvDefOutputSettings(nullptr, &info), S_OK);
    EXPECT_EQ(defaultText("MP3"), "L.A.M.E.; 128 kbps; auto kHz; CRC on");
    PutProfileString("MP3", nullptr, nullptr);
}

TEST(Mp3Dialog, ListsPerEncoder) {
    EXPECT_EQ(mp3Bitrates(1, true).size(), 14) << "MPEG-II is LAME's";
    QVector<int> codec = mp3Bitrates(3, false);
    EXPECT_TRUE(std::is_sorted(codec.begin(), codec.end()));
    QVector<RateEntry> rates = mp3SampleRates(3, false);
    for (int i = 2; i < rates.size(); ++i) {
        EXPECT_TRUE(rates[i - 1].rate > rates[i].rate ||
                    (rates[i - 1].rate == rates[i].rate && rates[i - 1].mode > rates[i].mode))
            << "rate, then channels, descending";
    }
}
