// The painted controls: push button clicks, panels that block input without
// greying, the gauge's geometry and the spin edit's rules.
#include "controls/Gauge.h"
#include "controls/Panel.h"
#include "controls/PushButton.h"
#include "controls/SpinEdit.h"

#include <QTest>

#include <gtest/gtest.h>

TEST(PushButton, ClicksOnReleaseOverTheButtonOnly) {
    QWidget window;
    TPushButton button(&window);
    button.setGeometry(0, 0, 100, 20);
    window.show();
    int clicks = 0;
    button.OnClick = [&] { ++clicks; };
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks, 1);
    // Pressed on it, released elsewhere: nothing.
    QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(150, 10));
    EXPECT_EQ(clicks, 1);
    // The right button does nothing; neither does a disabled button.
    QTest::mouseClick(&button, Qt::RightButton, {}, QPoint(10, 10));
    button.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(button.focusPolicy(), Qt::NoFocus);
}

TEST(Panel, ADisabledPanelBlocksInputWithoutGreying) {
    QWidget window;
    TPanel outer(&window);
    outer.setGeometry(0, 0, 200, 100);
    TPanel inner(&outer);
    inner.setGeometry(10, 10, 150, 50);
    TPushButton button(&inner);
    button.setGeometry(5, 5, 100, 20);
    window.show();
    int clicks = 0;
    button.OnClick = [&] { ++clicks; };
    outer.setEnabled(false);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(button.isEnabled()); // not greyed
    outer.setEnabled(true);
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(clicks, 1);
}

TEST(Gauge, PercentageAndBarFollowTheRule) {
    TGauge gauge;
    gauge.resize(340, 20); // inner width 338, W = 339
    const struct {
        int progress, percent, barEnd;
    } cases[] = {{0, 0, 0},       {1, 1, 3},       {45, 45, 152}, {99, 99, 335},
                 {100, 100, 339}, {150, 100, 339}, {-20, 0, 0}};
    for (const auto &c : cases) {
        gauge.setProgress(c.progress);
        EXPECT_EQ(gauge.PercentDone(), c.percent) << c.progress;
        EXPECT_EQ(gauge.BarEnd(), c.barEnd) << c.progress;
        EXPECT_EQ(gauge.Progress(), std::clamp(c.progress, 0, 100));
    }
}

TEST(Gauge, RedrawsOnlyWhenTheShownPercentageChanges) {
    QWidget window;
    TGauge gauge(&window);
    gauge.setGeometry(0, 0, 340, 20);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    const int before = gauge.Paints();
    gauge.setProgress(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(gauge.Paints(), before);
    gauge.setProgress(7);
    QCoreApplication::processEvents();
    EXPECT_EQ(gauge.Paints(), before + 1);

    // The picture: the bar's pixels are black, the text inverts what lies under it.
    const QImage image = gauge.grab().toImage();
    EXPECT_EQ(image.pixelColor(1, 10), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(gauge.BarEnd(), 2), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::black)); // the frame
}

TEST(SpinEdit, ReadsUnclampedAndSetsClamped) {
    TSpinEdit spin;
    spin.setValue(9);
    EXPECT_EQ(spin.text(), "5");
    spin.setValue(-3);
    EXPECT_EQ(spin.text(), "0");
    const std::pair<const char *, int> reads[] = {{"7", 7}, {"", 0}, {"x", 0}, {"-", 0}, {"3", 3}};
    for (auto [text, value] : reads) {
        spin.setText(text);
        EXPECT_EQ(spin.Value(), value) << text;
    }
}

TEST(SpinEdit, ArrowsAndKeysStepWithinTheLimitsAndTypingIsRefused) {
    QWidget window;
    TSpinEdit spin(&window);
    spin.setGeometry(0, 0, 36, 21);
    window.show();
    spin.setValue(4);
    const QPoint up(spin.width() - 8, 4), down(spin.width() - 8, spin.height() - 4);
    QTest::mouseClick(&spin, Qt::LeftButton, {}, up);
    EXPECT_EQ(spin.Value(), 5);
    QTest::mouseClick(&spin, Qt::LeftButton, {}, up); // no wrap
    EXPECT_EQ(spin.Value(), 5);
    QTest::mouseClick(&spin, Qt::LeftButton, {}, down);
    EXPECT_EQ(spin.Value(), 4);
    spin.setFocus();
    QTest::keyClick(&spin, Qt::Key_Down);
    EXPECT_EQ(spin.Value(), 3);
    QTest::keyClick(&spin, Qt::Key_Up);
    EXPECT_EQ(spin.Value(), 4);
    QTest::keyClicks(&spin, "1");
    QTest::keyClick(&spin, Qt::Key_Backspace);
    QTest::keyClick(&spin, Qt::Key_Delete);
    EXPECT_EQ(spin.text(), "4");

    // Holding an arrow repeats: first after 400 ms, then every 100 ms.
    spin.setValue(0);
    QTest::mousePress(&spin, Qt::LeftButton, {}, up);
    QTest::qWait(250);
    EXPECT_EQ(spin.Value(), 0);
    QTest::qWait(400); // the first repeat and a few more
    QTest::mouseRelease(&spin, Qt::LeftButton, {}, up);
    EXPECT_GE(spin.Value(), 3);

    // A value outside the range is clamped when the box loses the focus.
    spin.setText("9");
    spin.clearFocus();
    QTest::qWait(10);
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(&spin, &out);
    EXPECT_EQ(spin.text(), "5");
}
