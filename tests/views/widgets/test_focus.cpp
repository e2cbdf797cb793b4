// Tab-focus marks, the tab and tree classes of the views.

#include "views/widgets/WidgetTestSupport.h"

#include "FocusFunctions.h"
#include "TabWidget.h"
#include "TreeWidget.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace
{
QLineEdit* AddEdit(QWidget* ip_page, const QString& i_name)
{
    if (!ip_page->layout())
        new QVBoxLayout(ip_page);
    auto* edit = new QLineEdit(ip_page);
    edit->setObjectName(i_name);
    ip_page->layout()->addWidget(edit);
    return edit;
}
}

class FocusTest : public QObject
{
    Q_OBJECT

private slots:
    // On a shown page the highest mark above 0 wins, ties go to the first in
    // depth-first order, hidden widgets and hidden inner pages are passed
    // over, and marks of 0 or below never take the focus.
    void pageShowsItsBestMarkedWidget()
    {
        auto window = std::make_unique<QWidget>();
        auto* tabs = new TabWidget(window.get());
        (new QVBoxLayout(window.get()))->addWidget(tabs);

        auto* start = new QWidget;
        QLineEdit* first = AddEdit(start, "first");
        tabs->addTab(start, "start");

        auto* page = new QWidget;
        auto* group = new QWidget;
        (new QVBoxLayout(page))->addWidget(group);
        // The page's first widget in the focus chain, which the stacked
        // pages give the focus to first.
        AddEdit(group, "plain");
        QLineEdit* one = AddEdit(group, "one");
        QLineEdit* twoFirst = AddEdit(group, "twoFirst");
        QLineEdit* twoSecond = AddEdit(page, "twoSecond");
        QLineEdit* hidden = AddEdit(page, "hidden");
        hidden->setVisible(false);
        auto* inner = new QTabWidget(page);
        page->layout()->addWidget(inner);
        auto* innerShown = new QWidget;
        AddEdit(innerShown, "innerShown");
        auto* innerHidden = new QWidget;
        QLineEdit* onHiddenPage = AddEdit(innerHidden, "onHiddenPage");
        inner->addTab(innerShown, "shown");
        inner->addTab(innerHidden, "hidden");
        tabs->addTab(page, "page");

        auto* unmarked = new QWidget;
        AddEdit(unmarked, "plain");
        QLineEdit* zero = AddEdit(unmarked, "zero");
        QLineEdit* negative = AddEdit(unmarked, "negative");
        tabs->addTab(unmarked, "unmarked");

        QVERIFY(ShowActive(window.get()));
        first->setFocus();
        QCOMPARE(QApplication::focusWidget(), first);

        // Hidden widgets are marked without moving the focus.
        RegisterWidgetForTabFocus(twoSecond, 2);
        RegisterWidgetForTabFocus(one, 1);
        RegisterWidgetForTabFocus(hidden, 5);
        RegisterWidgetForTabFocus(onHiddenPage, 9);
        RegisterWidgetForTabFocus(zero, 0);
        RegisterWidgetForTabFocus(negative, -1);
        QCOMPARE(QApplication::focusWidget(), first);
        // twoFirst comes before twoSecond in depth-first order (inside group).
        RegisterWidgetForTabFocus(twoFirst, 2);
        QCOMPARE(QApplication::focusWidget(), first);

        // The toolbars follow the focus: the winner is found first, so the
        // lower mark on the way never holds the focus.
        QList<QWidget*> focused;
        auto watch = connect(qApp, &QApplication::focusChanged, this,
                             [&focused](QWidget*, QWidget* ip_new) { focused << ip_new; });
        tabs->setCurrentIndex(1);
        disconnect(watch);
        QCOMPARE(QApplication::focusWidget(), twoFirst);
        QVERIFY(!focused.contains(one));
        QCOMPARE(FindWidgetFocusProperty(page, 0), 2);
        QCOMPARE(FindWidgetFocusProperty(page, 2), 2);

        tabs->setCurrentIndex(2);
        QVERIFY(QApplication::focusWidget() != zero);
        QVERIFY(QApplication::focusWidget() != negative);

        // The inner page is shown now: its mark wins.
        tabs->setCurrentIndex(1);
        inner->setCurrentIndex(1);
        QCOMPARE(FindWidgetFocusProperty(page, 0), 9);
        QCOMPARE(QApplication::focusWidget(), onHiddenPage);

        // A marked visible widget takes the focus at once.
        RegisterWidgetForTabFocus(one, 1);
        QCOMPARE(QApplication::focusWidget(), one);
        QCOMPARE(one->property("get_focus").toInt(), 1);

        // A tab widget that loses its last page moves no focus.
        auto* lone = new TabWidget(window.get());
        window->layout()->addWidget(lone);
        lone->addTab(new QWidget, "only");
        lone->show();
        one->setFocus();
        lone->removeTab(0);
        QCOMPARE(lone->currentIndex(), -1);
        QCOMPARE(QApplication::focusWidget(), one);
    }

    // A slot connected to KeyPressed sees the key before the tree moves its
    // current row.
    void treeReportsKeysFirst()
    {
        auto window = std::make_unique<QWidget>();
        auto* tree = new TreeWidget(window.get());
        (new QVBoxLayout(window.get()))->addWidget(tree);
        for (const char* name : {"a", "b", "c"})
            new QTreeWidgetItem(tree, {name});
        tree->setCurrentItem(tree->topLevelItem(0));
        QVERIFY(ShowActive(window.get()));
        tree->setFocus();

        QStringList seen;
        connect(tree, &TreeWidget::KeyPressed, this, [&seen, tree](QKeyEvent* ip_event) {
            seen << QString::number(ip_event->key() == Qt::Key_Down) + tree->currentItem()->text(0);
        });
        QTest::keyClick(tree, Qt::Key_Down);
        QTest::keyClick(tree, Qt::Key_Down);
        QCOMPARE(seen, QStringList({"1a", "1b"}));
        QCOMPARE(tree->currentItem()->text(0), QString("c"));

        RoomTabWidget chats;
        QCOMPARE(chats.count(), 0);
    }
};

QTEST_MAIN(FocusTest)
#include "test_focus.moc"
