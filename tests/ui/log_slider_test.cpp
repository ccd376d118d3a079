// The message log window (export text, Save that never overwrites, Copy, the
// remembered rectangle) and the slider's arithmetic and notifications.
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

#include <gtest/gtest.h>

#include "tallory/settings.h"
#include "tallory/qt/tallory_slider.h"
#include "tallory/ui.h"
#include "ui/error_log.h"
#include "ui_test_support.h"

using tallory::ui::ErrorLogDialog;
using tallory::ui::exportText;
using tallory::ui::saveNewFile;

namespace {

QString messageBoxText(QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    return box != nullptr ? box->text() : QString();
}

}  // namespace

TEST(ErrorLogText, ExportTurnsLineFeedsIntoCrLfAndDropsCarriageReturns) {
    EXPECT_EQ(exportText("a\nb\n"), "a\r\nb\r\n");
    EXPECT_EQ(exportText("a\r\nb"), "a\r\nb") << "one carriage return per line, not two";
    EXPECT_EQ(exportText("x\ry"), "xy");
    EXPECT_EQ(exportText(""), "");

    IErrorLog* log = nullptr;
    EXPECT_EQ(CreateErrorLog(nullptr), E_INVALIDARG);
    ASSERT_EQ(CreateErrorLog(&log), S_OK);
    log->Append("first");
    log->Append("second\r\n");
    log->Append(nullptr);
    log->Append("");
    EXPECT_EQ(static_cast<tallory::ui::ErrorLog*>(log)->text(), "firstsecond\r\n");
    log->Clear();
    EXPECT_EQ(static_cast<tallory::ui::ErrorLog*>(log)->text(), "");
    log->Destroy();
}

TEST(ErrorLogWindow, SaveNeverOverwritesAndSaysWhy) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    EXPECT_TRUE(saveNewFile(path, "one\r\n").isEmpty());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("one\r\n"));
    f.close();

    // Saving onto an existing file leaves it unchanged, and the user hears why.
    std::string text = "two\n";
    ErrorLogDialog dialog(nullptr, text);
    QString told;
    whenModal([&](QWidget* w) {
        told = messageBoxText(w);
        qobject_cast<QMessageBox*>(w)->accept();
    });
    dialog.saveTo(path);
    EXPECT_TRUE(told.contains("already exists")) << told.toStdString();
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("one\r\n"));
    f.close();

    // A folder that does not exist: told, nothing made.
    told.clear();
    whenModal([&](QWidget* w) {
        told = messageBoxText(w);
        qobject_cast<QMessageBox*>(w)->accept();
    });
    dialog.saveTo(dir.filePath("missing/log.txt"));
    EXPECT_TRUE(told.contains("Cannot create")) << told.toStdString();

    dialog.saveTo(dir.filePath("new.txt"));
    QFile n(dir.filePath("new.txt"));
    ASSERT_TRUE(n.open(QIODevice::ReadOnly));
    EXPECT_EQ(n.readAll(), QByteArray("two\r\n"));
}

TEST(ErrorLogWindow, CopyPutsCrLfTextOnTheClipboard) {
    std::string text = "line one\nline two\r\n";
    ErrorLogDialog dialog(nullptr, text);
    dialog.copy();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "line one\r\nline two\r\n");
}

TEST(ErrorLogWindow, FixedPitchTextAndTheRectangleRememberedAcrossShows) {
    PutProfileString("Settings", "OutputRect", nullptr);
    IErrorLog* log = nullptr;
    ASSERT_EQ(CreateErrorLog(&log), S_OK);
    log->Append("Tallory v4.5\nConverting to MP3 (L.A.M.E.; 128 kbps; auto kHz; CRC off):\n/music/a.wav\n");
    const QRect placed(120, 80, 700, 420);
    whenModal([&](QWidget* w) {
        auto* d = dynamic_cast<ErrorLogDialog*>(w);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->windowTitle(), "Error Log");
        EXPECT_TRUE(QFontInfo(d->view->font()).fixedPitch());
        EXPECT_TRUE(d->view->isReadOnly());
        EXPECT_FALSE(d->view->textCursor().hasSelection());
        screenshot(d, "error_log");
        d->setGeometry(placed);
        QTest::keyClick(d, Qt::Key_Escape);
    });
    log->Show(nullptr);
    uint8_t stored[16] = {};
    uint32_t size = sizeof stored;
    ASSERT_TRUE(GetProfileBinary("Settings", "OutputRect", stored, &size));
    EXPECT_EQ(size, 16u);
    int32_t r[4];
    std::memcpy(r, stored, sizeof r);
    EXPECT_EQ(r[0], placed.left());
    EXPECT_EQ(r[1], placed.top());
    EXPECT_EQ(r[2], placed.left() + placed.width());
    EXPECT_EQ(r[3], placed.top() + placed.height());

    QRect reopened;
    whenModal([&](QWidget* w) {
        reopened = w->geometry();
        QTest::keyClick(w, Qt::Key_Escape);
    });
    log->Show(nullptr);
    EXPECT_EQ(reopened, placed);
    log->Destroy();
}

TEST(Slider, PositionArithmeticAndThumb) {
    TallorySlider s(nullptr, 1021);
    s.resize(110, 14);
    s.setMaximum(8);
    EXPECT_EQ(s.position(), 0);
    EXPECT_EQ(s.thumbX(), 0);
    QSignalSpy spy(&s, &TallorySlider::notified);
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(50, 8));
    QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(50, 8));
    EXPECT_EQ(s.position(), 4) << "50 / 100 x 8";
    EXPECT_EQ(s.thumbX(), 49) << "4 / 8 x 99, truncated";
    EXPECT_EQ(s.thumb(), QPolygon({QPoint(49, 10), QPoint(54, 5), QPoint(59, 10), QPoint(49, 10)}));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].toInt(), 1021);
    EXPECT_EQ(spy[0][1].toInt(), 0xF061);
    EXPECT_EQ(spy[0][2].value<TallorySlider*>(), &s);

    // The same position again does not notify; a press above y = 5 does nothing.
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(52, 8));
    QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(52, 8));
    EXPECT_EQ(spy.count(), 1);
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(100, 3));
    QTest::mouseMove(&s, QPoint(105, 3));
    QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(105, 3));
    EXPECT_EQ(s.position(), 4);
    EXPECT_EQ(spy.count(), 1);

    // Setting by method clamps and never notifies.
    s.setPosition(99);
    EXPECT_EQ(s.position(), 8);
    s.setPosition(-3);
    EXPECT_EQ(s.position(), 0);
    EXPECT_EQ(spy.count(), 1);
    screenshot(&s, "slider");
}

TEST(Slider, DraggingBeyondTheEndsPinsAndNotifiesPerChange) {
    TallorySlider s;
    s.resize(110, 14);
    s.setMaximum(8);
    s.show();
    QSignalSpy spy(&s, &TallorySlider::notified);
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(20, 8));  // position 1
    for (int x = 20; x <= 300; x += 5) {
        QMouseEvent move(QEvent::MouseMove, QPointF(x, 8), s.mapToGlobal(QPointF(x, 8)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&s, &move);
    }
    EXPECT_EQ(s.position(), 8);
    EXPECT_EQ(spy.count(), 8) << "1, then each of 2 .. 8 once";
    for (int x = 300; x >= -200; x -= 7) {
        QMouseEvent move(QEvent::MouseMove, QPointF(x, 8), s.mapToGlobal(QPointF(x, 8)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&s, &move);
    }
    EXPECT_EQ(s.position(), 0);
    EXPECT_EQ(spy.count(), 16);
    QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(0, 8));
    // After the release, moving does nothing.
    QMouseEvent move(QEvent::MouseMove, QPointF(80, 8), s.mapToGlobal(QPointF(80, 8)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&s, &move);
    EXPECT_EQ(s.position(), 0);
    // Keyboard: End, Home and the arrows move and notify.
    QTest::keyClick(&s, Qt::Key_End);
    EXPECT_EQ(s.position(), 8);
    QTest::keyClick(&s, Qt::Key_Left);
    EXPECT_EQ(s.position(), 7);
    EXPECT_EQ(spy.count(), 18);
}

TEST(Slider, NarrowerThanItsMarginsAndTheLargestMaximum) {
    TallorySlider s;
    s.resize(6, 14);
    s.setMaximum(INT_MAX);
    s.setPosition(INT_MAX);
    EXPECT_EQ(s.position(), INT_MAX);
    EXPECT_EQ(s.thumbX(), 0);
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(5, 8));
    EXPECT_GE(s.position(), 0);
    s.resize(500, 14);
    QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(499, 8));
    EXPECT_EQ(s.position(), INT_MAX);
    EXPECT_EQ(s.thumbX(), 489);
    s.setMaximum(0);
    s.setPosition(5);
    EXPECT_EQ(s.position(), 0);
    EXPECT_EQ(s.thumbX(), 0) << "x = 0 while the maximum is 0";
    s.setMaximum(-4);
    s.setPosition(3);
    EXPECT_EQ(s.position(), 0);
    EXPECT_STREQ(s.metaObject()->className(), "TallorySlider");
}
