#include "MetricCard.h"
#include "Palette.h"
#include "Panel.h"
#include "StyledButton.h"
#include "TestHome.h"
#include "TovrenLogoMark.h"
#include "Typography.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTest>

// The shared visual pieces: logo mark, metric card shrinking, button looks and the palette.
// Counts the paint events a widget receives while it lives.
class PaintCounter final : public QObject
{
public:
    PaintCounter(QWidget *widget, int &count) : m_count(count) { widget->installEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        m_count += event->type() == QEvent::Paint;
        return false;
    }

private:
    int &m_count;
};

class TestUiStyle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { Typography::installApplicationFont(); }

    void logoCornerRadius_data()
    {
        QTest::addColumn<qreal>("size");
        QTest::addColumn<qreal>("radius");
        QTest::newRow("small marks keep the minimum of 8") << 32.0 << 8.0;
        QTest::newRow("exactly at the minimum") << 50.0 << 8.0;
        QTest::newRow("large marks use 16 %") << 100.0 << 16.0;
    }
    void logoCornerRadius()
    {
        TestHome home;
        QFETCH(qreal, size);
        QFETCH(qreal, radius);
        QCOMPARE(TovrenLogoMark::cornerRadius(size), radius);
    }

    void logoResourceLoads()
    {
        TestHome home;
        // The module's own logo is found without the application providing one.
        const std::optional<QImage> &logo = TovrenLogoImage::shared();
        QVERIFY(logo.has_value());
        QVERIFY(!logo->isNull());
        QVERIFY(TovrenLogoMark(40).showsImage());
    }

    void logoFallsBackToTV()
    {
        TestHome home;
        const std::optional<QImage> missing = TovrenLogoImage::load({QStringLiteral(":/no-such-logo")});
        QVERIFY(!missing.has_value());
        TovrenLogoMark mark(100, missing);
        QVERIFY(!mark.showsImage());
        QCOMPARE(mark.fallbackFontSize(), 42);

        // The fallback draws dark text on white, and the corners are cut away.
        QImage picture(100, 100, QImage::Format_ARGB32_Premultiplied);
        picture.fill(Qt::transparent);
        mark.render(&picture, QPoint(), QRegion(), QWidget::DrawChildren);
        QCOMPARE(picture.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(picture.pixelColor(50, 5), QColor(Qt::white));
        int dark = 0;
        for (int x = 20; x < 80; ++x)
            dark += picture.pixelColor(x, 50).lightness() < 60 ? 1 : 0;
        QVERIFY2(dark > 5, "the TV letters are drawn across the middle");
    }

    void metricValueShrinksBeforeItIsCut_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("shrinks");
        QTest::addColumn<bool>("cut");
        QTest::newRow("short value at full size") << QStringLiteral("38 ms") << false << false;
        QTest::newRow("a little too long shrinks") << QStringLiteral("186.4GB / 01-22 ") << true << false;
        QTest::newRow("far too long shrinks to 72 % and is cut")
            << QStringLiteral("不限量 / 12-31 不限量 / 12-31 不限量 / 12-31") << true << true;
    }
    void metricValueShrinksBeforeItIsCut()
    {
        TestHome home;
        QFETCH(QString, value);
        QFETCH(bool, shrinks);
        QFETCH(bool, cut);
        MetricCard card(QStringLiteral("剩余流量 / 到期时间"), value);
        FittingLabel *label = card.valueLabel();
        const qreal natural = QFontMetricsF(label->font()).horizontalAdvance(QStringLiteral("186.4GB / 01-22"));
        card.resize(qRound(natural) + 24, 90); // the padding is 12 on each side
        card.show();
        QVERIFY(QTest::qWaitForWindowExposed(&card));
        const qreal scale = label->fittedScale();
        QVERIFY(scale >= MetricCard::valueMinimumScale);
        QCOMPARE(scale < 1.0, shrinks);
        QCOMPARE(label->displayedText() != value, cut);
        if (cut)
            QCOMPARE(scale, MetricCard::valueMinimumScale);
    }

    void buttonStylesSwitchAtRunTime()
    {
        TestHome home;
        StyledButton button(QStringLiteral("检查"), ButtonStyle::primaryCapsule);
        QCOMPARE(button.sizeHint().height(), 36);
        button.setButtonStyle(ButtonStyle::secondary);
        QVERIFY(button.sizeHint().width() >= 58); // a two-character title still gets the minimum width
        QCOMPARE(button.sizeHint().height(), 36);

        button.setDown(true);
        QCOMPARE(button.currentOpacity(), 0.7);
        button.setButtonStyle(ButtonStyle::primaryCapsule);
        QCOMPARE(button.currentOpacity(), 0.75);
        button.setDown(false);
        QCOMPARE(button.currentOpacity(), 1.0);
    }

    void panelRepaintsOnlyTheChildThatChanged()
    {
        // A label ticking every second (the connection time) must not make the whole panel, its shadow and every
        // other child paint again: an idle connected window would keep a core busy.
        QWidget window;
        window.resize(400, 300);
        auto *panel = new Panel(&window);
        panel->setGeometry(20, 20, 360, 260);
        QVBoxLayout *column = panel->makeColumn();
        auto *ticking = new QLabel(QStringLiteral("00:01"));
        auto *still = new QLabel(QStringLiteral("香港"));
        column->addWidget(ticking);
        column->addWidget(still);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        int stillPaints = 0;
        int tickingPaints = 0;
        PaintCounter countStill(still, stillPaints);
        PaintCounter countTicking(ticking, tickingPaints);
        for (int second = 2; second < 5; ++second) {
            ticking->setText(QStringLiteral("00:0%1").arg(second));
            QTest::qWait(30);
        }
        QVERIFY(tickingPaints >= 3);
        QCOMPARE(stillPaints, 0);
    }

    void paletteByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QColor>("color");
        QTest::newRow("tvBlack") << "tvBlack" << QColor::fromRgbF(0.02f, 0.02f, 0.02f);
        QTest::newRow("tvBlue") << "tvBlue" << QColor::fromRgbF(0.0f, 0.443f, 0.89f);
        QTest::newRow("tvOrangeSoft") << "tvOrangeSoft" << QColor::fromRgbF(1.0f, 0.969f, 0.929f);
        QTest::newRow("unknown") << "tvPurple" << QColor();
    }
    void paletteByName()
    {
        TestHome home;
        QFETCH(QString, name);
        QFETCH(QColor, color);
        QCOMPARE(Palette::byName(name), color);
    }
};

QTEST_MAIN(TestUiStyle)
#include "test_ui_style.moc"
