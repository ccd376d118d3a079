// The progress windows: the overwrite question and its remembered answers,
// the log's colours and links, the bars' arithmetic, details, and calls from
// a worker thread, late or after the window went.
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

#include <thread>

#include <gtest/gtest.h>

#include "tallory/settings.h"
#include "tallory/ui.h"
#include "ui/batch_progress_window.h"
#include "ui/link_opener.h"
#include "ui/overwrite_question.h"
#include "ui/progress_window.h"
#include "ui_test_support.h"

using tallory::ui::BatchProgressWindow;
using tallory::ui::OverwriteQuestion;
using tallory::ui::SimpleProgressWindow;

namespace {

int setting(const char* name) {
    int v = -1;
    return GetProfileIntA("Settings", name, &v) ? v : -1;
}

void resetOverwriteSettings() {
    PutProfileString("Settings", "AlwaysOverwrite", nullptr);
    PutProfileString("Settings", "NeverOverwrite", nullptr);
}

// Answers the overwrite question with a button, optionally ticking "Do not ask me again" first.
void answerQuestion(const QString& button, bool dontAsk, bool* yesNoDisabled = nullptr) {
    whenModal([=](QWidget* w) {
        auto* q = dynamic_cast<OverwriteQuestion*>(w);
        ASSERT_NE(q, nullptr);
        screenshot(q, dontAsk ? "overwrite_question_dont_ask" : "overwrite_question");
        if (dontAsk) q->dontAsk->click();
        if (yesNoDisabled != nullptr) *yesNoDisabled = !q->yes->isEnabled() && !q->no->isEnabled();
        for (QPushButton* b : {q->yes, q->always, q->no, q->never}) {
            if (b->text() == button) b->click();
        }
    });
}

QColor colourAt(QTextDocument* doc, int position) {
    QTextCursor c(doc);
    c.setPosition(position + 1);
    return c.charFormat().foreground().color();
}

bool boldAt(QTextDocument* doc, int position) {
    QTextCursor c(doc);
    c.setPosition(position + 1);
    return c.charFormat().fontWeight() == QFont::Bold;
}

struct BatchWindow {
    BatchWindow() {
        IConvProgress* p = nullptr;
        EXPECT_EQ(CreateConvertProgressWindow(&p), S_OK);
        window = static_cast<IConvBatchProgress*>(p);
    }
    ~BatchWindow() { window->Destroy(); }
    BatchProgressWindow* impl() const { return static_cast<BatchProgressWindow*>(window); }
    tallory::ui::BatchProgressDialog* dialog() const { return impl()->dialog(); }
    IConvBatchProgress* window;
};

}  // namespace

TEST(OverwriteQuestion, AnswersAndRememberedChoices) {
    resetOverwriteSettings();
    {
        BatchWindow w;
        w.window->Create(nullptr);
        w.window->Show();
        answerQuestion("Yes", false);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/song.mp3"), 1);
        answerQuestion("No", false);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/song.mp3"), 0);
        // Never without the check box: this window answers 0 from now on, nothing stored.
        answerQuestion("Never", false);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/a.mp3"), 0);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/b.mp3"), 0);
        EXPECT_EQ(setting("NeverOverwrite"), -1);
    }
    {
        // Always with the check box: stored, and no later window asks again.
        BatchWindow w;
        w.window->Create(nullptr);
        bool yesNoDisabled = false;
        answerQuestion("Always", true, &yesNoDisabled);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/song.mp3"), 1);
        EXPECT_TRUE(yesNoDisabled) << "checking the box leaves only Always and Never";
        EXPECT_EQ(setting("AlwaysOverwrite"), 1);
    }
    {
        BatchWindow w;
        w.window->Create(nullptr);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/other.mp3"), 1);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    resetOverwriteSettings();
    PutProfileInt("Settings", "NeverOverwrite", 1);
    {
        BatchWindow w;
        w.window->Create(nullptr);
        EXPECT_EQ(w.window->ConfirmOverwrite("/tmp/out/other.mp3"), 0);
    }
    resetOverwriteSettings();
}

TEST(OverwriteQuestion, AskedFromTheWorkerThreadBlocksForTheAnswer) {
    resetOverwriteSettings();
    BatchWindow w;
    w.window->Create(nullptr);
    std::atomic<int> answer{-1};
    answerQuestion("Yes", false);
    std::thread worker([&] { answer = w.window->ConfirmOverwrite("/tmp/x.wav"); });
    EXPECT_TRUE(pumpUntil([&] { return answer.load() != -1; }));
    worker.join();
    EXPECT_EQ(answer.load(), 1);
}

TEST(BatchWindowBars, SimpleWindowDisablesItsParentUntilFinish) {
    QWidget parent;
    parent.resize(400, 300);
    parent.show();
    IConvProgress* p = nullptr;
    ASSERT_EQ(CreateProgressWindow(&p), S_OK);
    p->Create(&parent);
    auto* dialog = static_cast<QWidget*>(p->GetWindow());
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(parent.isEnabled());
    EXPECT_TRUE(dialog->isEnabled()) << "the window over a disabled parent still takes Abort";
    p->SetAction("Converting:");
    p->SetItem("/music/a long folder name/that goes on/song.wav", 1);
    p->SetRange(100);
    p->SetPos(40);
    screenshot(dialog, "simple_progress_window");
    auto* abort = dialog->findChild<QPushButton*>();
    ASSERT_NE(abort, nullptr);
    abort->click();
    EXPECT_EQ(p->IsCancelled(), 1);
    EXPECT_FALSE(abort->isEnabled());
    p->Finish();
    EXPECT_TRUE(parent.isEnabled());
    p->Destroy();
}

TEST(OverwriteQuestion, SimpleWindowNeverOverwrites) {
    IConvProgress* p = nullptr;
    ASSERT_EQ(CreateProgressWindow(&p), S_OK);
    EXPECT_EQ(p->ConfirmOverwrite("/tmp/x.wav"), 0);
    p->Destroy();
}

TEST(BatchWindowLog, ColoursBoldAndStickyAttributes) {
    BatchWindow w;
    w.window->Create(nullptr);
    w.window->Show();
    // Letter by letter: e red, i green, b bold, k dark blue; what no letter
    // selects stays as the end of the log has it.
    const char* parts[][2] = {{"plain ", ""},     {"error ", "e"},   {"still ", ""}, {"info ", "i"},
                              {"bold ", "b"},     {"blue ", "k"},    {"ek ", "ek"},  {"ke ", "ke"}};
    for (auto& p : parts) w.window->MessageEx(p[0], p[1]);
    QTextDocument* doc = w.dialog()->log->document();
    const QString text = doc->toPlainText();
    auto at = [&](const char* word) { return static_cast<int>(text.indexOf(QString::fromUtf8(word))); };
    EXPECT_EQ(colourAt(doc, at("error")), QColor(255, 0, 0));
    EXPECT_EQ(colourAt(doc, at("still")), QColor(255, 0, 0)) << "a message without letters stays red";
    EXPECT_EQ(colourAt(doc, at("info")), QColor(0, 127, 0));
    EXPECT_FALSE(boldAt(doc, at("info")));
    EXPECT_TRUE(boldAt(doc, at("bold")));
    EXPECT_EQ(colourAt(doc, at("bold")), QColor(0, 127, 0));
    EXPECT_EQ(colourAt(doc, at("blue")), QColor(0, 0, 95));
    EXPECT_TRUE(boldAt(doc, at("blue")));
    // The letters apply in the order e, i, b, k whatever order they come in.
    EXPECT_EQ(colourAt(doc, at("ek ")), QColor(0, 0, 95));
    EXPECT_EQ(colourAt(doc, at("ke ")), QColor(0, 0, 95));
    // Two messages without line feeds share a line.
    EXPECT_EQ(doc->blockCount(), 1);
    // A null kinds string counts as "", a null text adds nothing.
    w.window->MessageEx(nullptr, nullptr);
    w.window->Message("\nlast");
    EXPECT_TRUE(w.dialog()->log->toPlainText().endsWith("ke \nlast"));
    screenshot(w.dialog(), "batch_window_log");
}

TEST(BatchWindowLog, LinksAreDetectedAndOpenedWithOneArgument) {
    using tallory::ui::splitLinks;
    auto spans = splitLinks("Need help? mailto:help@example.org\nCheck https://example.org/u?a=1&b=2. ok");
    ASSERT_EQ(spans.size(), 5);
    EXPECT_TRUE(spans[1].isLink);
    EXPECT_EQ(spans[1].text, "mailto:help@example.org");
    EXPECT_EQ(spans[3].text, "https://example.org/u?a=1&b=2") << "the sentence's full stop is not the link's";
    EXPECT_EQ(spans[4].text, ". ok");
    EXPECT_TRUE(splitLinks("javascript:alert(1) and telnet://host")[0].isLink == false);

    // A stand-in opener records its arguments, one per line.
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const QString record = bin.filePath("args");
    QFile script(bin.filePath("xdg-open"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n")
                     .arg(record)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + oldPath);

    BatchWindow w;
    w.window->Create(nullptr);
    w.window->MessageEx("see https://example.org/a b;$(touch /tmp/x) end\n", "");
    QTextDocument* doc = w.dialog()->log->document();
    QTextCursor c(doc);
    c.setPosition(static_cast<int>(doc->toPlainText().indexOf("example")) + 1);
    EXPECT_TRUE(c.charFormat().isAnchor());
    EXPECT_EQ(c.charFormat().anchorHref(), "https://example.org/a");
    Q_EMIT w.dialog()->log->anchorClicked(QUrl("https://example.org/a b;$(touch x)"));
    Q_EMIT w.dialog()->log->anchorClicked(QUrl("javascript:alert(1)"));
    EXPECT_TRUE(pumpUntil([&] { return QFile::exists(record); }, 5000));
    QThread::msleep(200);
    QFile out(record);
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(out.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << "one argument, and nothing for a javascript: link";
    EXPECT_EQ(lines[0], "https://example.org/a%20b;$(touch%20x)");
    qputenv("PATH", oldPath);
}

TEST(BatchWindowBars, RememberedRangeAndPositionAppliedOnCreation) {
    BatchWindow w;
    w.window->SetRange(1000);
    w.window->SetPos(250);
    w.window->Create(nullptr);
    EXPECT_EQ(w.dialog()->currentBar->maximum(), 1000);
    EXPECT_EQ(w.dialog()->currentBar->value(), 250);

    IConvProgress* simple = nullptr;
    ASSERT_EQ(CreateProgressWindow(&simple), S_OK);
    simple->SetRange(4000000000u);  // beyond a Qt bar's int range
    simple->SetPos(3000000000u);
    simple->Advance(500000000u);
    simple->Create(nullptr);
    auto* dialog = static_cast<QWidget*>(simple->GetWindow());
    ASSERT_NE(dialog, nullptr);
    auto* bar = dialog->findChild<QProgressBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_NEAR(static_cast<double>(bar->value()) / bar->maximum(), 3.5 / 4.0, 1e-6);
    screenshot(dialog, "simple_progress_window_bare");
    simple->Finish();
    EXPECT_EQ(simple->GetWindow(), nullptr);
    // After Finish the calls only move the remembered values.
    simple->SetPos(1);
    simple->SetItem("late", 0);
    simple->Destroy();
}

TEST(BatchWindowBars, TotalScaleForTotalsBeyond32Bits) {
    BatchWindow w;
    w.window->Create(nullptr);
    LengthSource a(2000000000u), b(2000000000u), broken(1234, false);
    IConvSource* sources[] = {&a, &b};
    IConvTarget* targets[] = {nullptr, nullptr};
    w.window->StartBatch(sources, targets, false, 2);
    EXPECT_EQ(w.impl()->scale(), 10u);
    EXPECT_EQ(w.dialog()->totalBar->maximum(), 400000000);
    EXPECT_EQ(a.openCount, 1);
    EXPECT_EQ(a.closeCount, 1);
    EXPECT_EQ(w.dialog()->converted->text(), "0 of 2 item(s) have been converted.");
    w.window->Advance(1000000000u);
    EXPECT_EQ(w.dialog()->totalBar->value(), 100000000);
    w.window->NextItem();
    EXPECT_EQ(w.impl()->done(), 2000000000u);
    EXPECT_EQ(w.dialog()->totalBar->value(), 200000000);
    EXPECT_EQ(w.dialog()->converted->text(), "1 of 2 item(s) have been converted.");
    w.window->NextItem();
    EXPECT_EQ(w.dialog()->totalBar->value(), 400000000);
    EXPECT_FALSE(w.dialog()->timer.isActive()) << "the clock stops at the last item";

    // Two passes double every length; a source that does not open counts 0.
    IConvSource* more[] = {&a, &broken, &b};
    IConvTarget* none[] = {nullptr, nullptr, nullptr};
    w.window->StartBatch(more, none, true, 3);
    EXPECT_EQ(w.impl()->totalBytes(), 8000000000u);
    EXPECT_EQ(w.impl()->scale(), 10u);
    w.window->NextItem();
    w.window->NextItem();
    w.window->NextItem();
    EXPECT_EQ(w.dialog()->totalBar->value(), w.dialog()->totalBar->maximum());
}

TEST(BatchWindowBars, DegenerateInputsDoNotDivideByZero) {
    BatchWindow w;
    w.window->Create(nullptr);
    w.window->StartBatch(nullptr, nullptr, false, 0);
    EXPECT_EQ(w.dialog()->converted->text(), "0 of 0 item(s) have been converted.");
    EXPECT_GT(w.dialog()->totalBar->maximum(), 0) << "an empty range is not a busy bar";
    w.window->NextItem();
    w.window->Advance(10);
    // Throughput before any byte was written, and a huge one: no division by zero, no overflow.
    w.window->Throughput(CLSID_WavSource, 1, 5000000, 1500);
    EXPECT_NE(w.dialog()->speed->text(), "?");
    w.window->Throughput(CLSID_WavSource, 1, 0xFFFFFFFFu, 1);
    w.window->Throughput(CLSID_WavTarget, 0, 1, 1001);
    EXPECT_TRUE(w.dialog()->speed->text().endsWith("/s"));
    w.window->SetRange(0);
    EXPECT_EQ(w.dialog()->currentBar->value(), 0);
}

TEST(BatchWindowBars, SpeedInTheUsersShortByteSize) {
    BatchWindow w;
    w.window->Create(nullptr);
    // 600 ms reading and 600 ms writing 2 MiB: read time stays, 2 MiB in 1.2 s.
    w.window->Throughput(CLSID_WavSource, 1, 2 * 1048576, 600);
    EXPECT_EQ(w.dialog()->speed->text(), "?") << "nothing shown before a second was counted";
    w.window->Throughput(CLSID_WavTarget, 0, 2 * 1048576, 600);
    EXPECT_EQ(w.dialog()->speed->text(), QLocale().formattedDataSize(1747626, 1, QLocale::DataSizeTraditionalFormat) + "/s");
}

TEST(BatchWindowDetails, CollapseAndRestore) {
    PutProfileInt("Settings", "ProgressDetails", 1);
    {
        BatchWindow w;
        w.window->Create(nullptr);
        w.window->Show();
        auto* d = w.dialog();
        const int full = d->height();
        EXPECT_EQ(d->details->text(), "<< Details");
        screenshot(d, "batch_window_details");
        d->details->click();
        EXPECT_EQ(d->details->text(), "Details >>");
        EXPECT_EQ(d->height(), d->collapsedHeight());
        EXPECT_LT(d->height(), full);
        EXPECT_FALSE(d->converted->isVisible());
        EXPECT_EQ(d->minimumHeight(), d->maximumHeight()) << "collapsed, the window cannot be resized";
        screenshot(d, "batch_window_collapsed");
        d->details->click();
        EXPECT_EQ(d->height(), full);
        EXPECT_TRUE(d->converted->isVisible());
        d->details->click();
        // Closing a finished batch stores the state.
        w.window->Finish();
        EXPECT_TRUE(d->close->isEnabled());
        EXPECT_FALSE(d->abort->isEnabled());
        QTest::keyClick(d, Qt::Key_Escape);
        EXPECT_EQ(w.window->GetWindow(), nullptr);
    }
    int shown = -1;
    EXPECT_TRUE(GetProfileIntA("Settings", "ProgressDetails", &shown));
    EXPECT_EQ(shown, 0);
    {
        BatchWindow w;
        w.window->Create(nullptr);
        EXPECT_EQ(w.dialog()->details->text(), "Details >>");
        EXPECT_EQ(w.dialog()->height(), w.dialog()->collapsedHeight());
    }
    PutProfileInt("Settings", "ProgressDetails", 1);
}

TEST(BatchWindowLifetime, EscapeAbortsThenLateAndOrphanedCallsAreDropped) {
    BatchWindow w;
    w.window->Create(nullptr);
    w.window->Show();
    QTest::keyClick(w.dialog(), Qt::Key_Escape);
    EXPECT_EQ(w.window->IsCancelled(), 1);
    EXPECT_FALSE(w.dialog()->abort->isEnabled());
    EXPECT_NE(w.window->GetWindow(), nullptr) << "a running batch's window stays";

    // The worker keeps calling while the window is destroyed under it.
    std::atomic<bool> stop{false}, ended{false};
    std::atomic<int> calls{0};
    std::thread worker([&] {
        while (!stop) {
            w.window->MessageEx("x", "e");
            w.window->Advance(1);
            w.window->SetItem("/a/b", 1);
            w.window->Throughput(CLSID_WavSource, 1, 10, 600);
            ++calls;
        }
        ended = true;
    });
    pumpUntil([&] { return calls.load() > 50; }, 5000);
    delete w.dialog();  // destroyed without being closed
    EXPECT_EQ(w.window->GetWindow(), nullptr);
    EXPECT_EQ(w.window->GetItemControl(), nullptr);
    const int before = calls.load();
    pumpUntil([&] { return calls.load() > before + 50; }, 5000);
    stop = true;
    // A worker faster than the window waits for it: the window's thread keeps pumping, as AudioConvert does.
    EXPECT_TRUE(pumpUntil([&] { return ended.load(); }));
    worker.join();
    pumpUntil([] { return false; }, 50);
    // Later calls on the window's thread find no dialog and do nothing.
    w.window->Finish();
    w.window->Show();
    w.window->NextItem();
}

TEST(BatchWindowLifetime, DestroyWhileAWorkerWaitsForAnAnswer) {
    resetOverwriteSettings();
    auto* w = new BatchWindow();
    w->window->Create(nullptr);
    std::atomic<int> answer{-1};
    std::thread worker([&] { answer = w->window->ConfirmOverwrite("/tmp/x.wav"); });
    // The question was queued; the window goes before it is shown.
    QThread::msleep(100);
    delete w;
    worker.join();
    EXPECT_EQ(answer.load(), 0) << "a dropped question is a refusal";
}
