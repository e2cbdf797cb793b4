// The forwarding style measures exactly as its named base style does, and a
// name the factory does not know still gives a usable style.

#include "ProxyStyle.h"

#include <QApplication>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QtTest>

#include <memory>

class ProxyStyleTest : public QObject
{
    Q_OBJECT

private slots:
    void measuresAsItsBaseStyle()
    {
        QVERIFY(QStyleFactory::keys().contains("Fusion"));
        ProxyStyle proxy("Fusion");
        std::unique_ptr<QStyle> fusion(QStyleFactory::create("Fusion"));

        QPushButton button("Download");
        QStyleOptionButton option;
        option.initFrom(&button);
        option.text = button.text();

        const QStyle::PixelMetric metrics[] = {QStyle::PM_ButtonMargin,     QStyle::PM_DefaultFrameWidth,
                                               QStyle::PM_ScrollBarExtent,  QStyle::PM_IndicatorWidth,
                                               QStyle::PM_SmallIconSize,    QStyle::PM_LayoutLeftMargin,
                                               QStyle::PM_TabBarTabHSpace,  QStyle::PM_ToolBarIconSize};
        for (QStyle::PixelMetric metric : metrics)
            QCOMPARE(proxy.pixelMetric(metric, &option, &button), fusion->pixelMetric(metric, &option, &button));

        const QSize contents(80, 20);
        QCOMPARE(proxy.sizeFromContents(QStyle::CT_PushButton, &option, contents, &button),
                 fusion->sizeFromContents(QStyle::CT_PushButton, &option, contents, &button));
        QCOMPARE(proxy.sizeFromContents(QStyle::CT_LineEdit, &option, contents, nullptr),
                 fusion->sizeFromContents(QStyle::CT_LineEdit, &option, contents, nullptr));
        QCOMPARE(proxy.styleHint(QStyle::SH_DialogButtonLayout), fusion->styleHint(QStyle::SH_DialogButtonLayout));
        QCOMPARE(proxy.standardPalette(), fusion->standardPalette());
    }

    void unknownNameFallsBackToAWorkingStyle()
    {
        QVERIFY(!QStyleFactory::keys().contains("NoSuchStyle"));
        ProxyStyle proxy("NoSuchStyle");
        QVERIFY(proxy.baseStyle());
        QStyleOptionButton option;
        QVERIFY(proxy.pixelMetric(QStyle::PM_ButtonMargin, &option, nullptr) >= 0);
        QVERIFY(proxy.sizeFromContents(QStyle::CT_PushButton, &option, QSize(80, 20), nullptr).isValid());

        // A widget can use it.
        QPushButton button("Cancel");
        button.setStyle(&proxy);
        QVERIFY(button.sizeHint().isValid());
        QVERIFY(!button.grab().isNull());
    }
};

QTEST_MAIN(ProxyStyleTest)
#include "test_proxystyle.moc"
