// BatchConvert through the batch window: real files converted (checked with
// sox), the log, the final message box, the window kept until Close; and a
// batch cancelled with Abort.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "external_tools.h"
#include "tallory/batch.h"
#include "tallory/formats.h"
#include "tallory/ref.h"
#include "tallory/settings.h"
#include "ui/batch_progress_window.h"
#include "ui_test_support.h"

using tallory::Ref;
using tallory::ui::BatchProgressDialog;

namespace {

BatchProgressDialog* findBatchWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = dynamic_cast<BatchProgressDialog*>(w); d != nullptr && d->isVisible()) return d;
    }
    return nullptr;
}

struct Batch {
    std::vector<Ref<IConvSource>> sources;
    std::vector<Ref<IConvTarget>> targets;
    std::vector<BatchItem> items;

    void add(const std::string& input, const std::string& scheme) {
        IConvSource* s = nullptr;
        IConvTarget* t = nullptr;
        ASSERT_EQ(ConvCreateObject(CLSID_WavSource, &IID_IConvSource, reinterpret_cast<void**>(&s)), S_OK);
        ASSERT_EQ(ConvCreateObject(CLSID_WavTarget, &IID_IConvTarget, reinterpret_cast<void**>(&t)), S_OK);
        sources.emplace_back(s);
        targets.emplace_back(t);
        s->SetPath(input.c_str());
        BatchItem item{};
        std::snprintf(item.scheme, sizeof item.scheme, "%s", scheme.c_str());
        item.startMs = -1;
        item.endMs = -1;
        item.source = s;
        item.target = t;
        items.push_back(item);
    }
    const BatchItem* array() {
        items.push_back(BatchItem{});
        return items.data();
    }
};

std::string makeTone(const QTemporaryDir& dir, const std::string& name, int seconds) {
    std::string path = dir.filePath(QString::fromStdString(name)).toStdString();
    int status = 0;
    runCommand("sox -n -r 44100 -c 2 -b 16 '" + path + "' synth " + std::to_string(seconds) + " sine 440 2>&1", &status);
    EXPECT_EQ(status, 0) << "sox makes the input";
    return path;
}

}  // namespace

TEST(BatchConvertWindow, ConvertsShowsTheOutcomeAndWaitsForClose) {
    QTemporaryDir dir;
    const std::string a = makeTone(dir, "a.wav", 2);
    const std::string b = makeTone(dir, "b.wav", 3);
    const std::string out = dir.filePath("out").toStdString();
    Batch batch;
    batch.add(a, out + "/<sourcename>");
    batch.add(b, out + "/<sourcename>");
    batch.add(dir.filePath("missing.wav").toStdString(), out + "/<sourcename>");

    QString boxText;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    std::string logText;
    bool closeEnabledAtBox = false;
    whenModal(
        [&](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            ASSERT_NE(box, nullptr);
            boxText = box->text();
            boxIcon = box->icon();
            screenshot(box, "batch_done_message");
            BatchProgressDialog* d = findBatchWindow();
            ASSERT_NE(d, nullptr);
            closeEnabledAtBox = d->close->isEnabled();
            box->accept();
            // The window stays after the message box, until the user closes it.
            QTimer::singleShot(200, [] {
                BatchProgressDialog* d = findBatchWindow();
                ASSERT_NE(d, nullptr);
                screenshot(d, "batch_window_finished");
                d->close->click();
            });
            logText = d->log->toPlainText().toStdString();
        },
        120000);
    HWND window = reinterpret_cast<HWND>(1);
    EXPECT_EQ(BatchConvert(batch.array(), &window, 0, 0), 0);
    EXPECT_EQ(window, nullptr) << "the handle is cleared before BatchConvert returns";
    EXPECT_EQ(boxText, "Conversion done! 1 of 3 item(s) could not be converted. See Details for more information.");
    EXPECT_EQ(boxIcon, QMessageBox::Critical);
    EXPECT_TRUE(closeEnabledAtBox);
    EXPECT_NE(logText.find("Tallory v4.5"), std::string::npos);
    EXPECT_NE(logText.find("Converting to Wave (PCM; auto detection):\n" + a), std::string::npos) << logText;
    EXPECT_NE(logText.find("--> " + out + "/a.wav"), std::string::npos);
    EXPECT_NE(logText.find("Need help? mailto:"), std::string::npos);

    // sox, an independent reader, finds the same audio in the outputs.
    for (const auto& [input, output] : {std::pair{a, out + "/a.wav"}, std::pair{b, out + "/b.wav"}}) {
        int status = 0;
        std::string want = runCommand("sox --i -s '" + input + "'", &status);
        std::string got = runCommand("sox --i -s '" + output + "'", &status);
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(got, want);
        EXPECT_EQ(runCommand("sox '" + output + "' -t raw - | md5sum"), runCommand("sox '" + input + "' -t raw - | md5sum"));
    }
}

TEST(BatchConvertWindow, AbortStopsTheBatchAndSkipsTheMessageBox) {
    QTemporaryDir dir;
    const std::string out = dir.filePath("out").toStdString();
    Batch batch;
    const int n = 12;
    const std::string input = makeTone(dir, "long.wav", 20);
    for (int i = 0; i < n; ++i) batch.add(input, out + "/<sourcename>" + std::to_string(i));

    bool aborted = false, sawBox = false;
    std::string logText;
    auto* poll = new QTimer();
    QObject::connect(poll, &QTimer::timeout, [&, poll] {
        if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr) {
            sawBox = true;
            qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->accept();
        }
        BatchProgressDialog* d = findBatchWindow();
        if (d == nullptr) return;
        if (!aborted && d->log->toPlainText().contains("--> ")) {
            screenshot(d, "batch_window_running");
            d->abort->click();
            aborted = true;
        }
        if (aborted && d->close->isEnabled()) {
            logText = d->log->toPlainText().toStdString();
            poll->stop();
            poll->deleteLater();
            d->close->click();
        }
    });
    poll->start(10);
    BatchResult result{};
    EXPECT_EQ(BatchConvertEx(batch.array(), nullptr, 0, 0, nullptr, &result), E_ABORT);
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(sawBox) << "a cancelled batch shows no message box";
    EXPECT_EQ(result.cancelled, 1);
    EXPECT_LT(result.converted, n);
    EXPECT_NE(logText.find("Conversion aborted by user"), std::string::npos) << logText;
    // Every converted item's output is complete; the item the abort cut short
    // may leave one more file (the engine closes its target), never more.
    int complete = 0, present = 0;
    for (const QFileInfo& f : QDir(QString::fromStdString(out)).entryInfoList(QDir::Files)) {
        ++present;
        const std::string path = f.absoluteFilePath().toStdString();
        if (runCommand("sox --i -s '" + path + "'") == runCommand("sox --i -s '" + input + "'")) ++complete;
    }
    EXPECT_GE(complete, result.converted) << runCommand("ls -lR '" + out + "'") << logText;
    EXPECT_LE(present, result.converted + 1);
}
