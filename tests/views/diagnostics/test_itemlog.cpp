// The item log dialog with and without the log entry types.

#include "ViewsTestSupport.h"

#include "ItemLogDialog.h"

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QtTest>

namespace {

QStringList PageLines(ItemLogDialog& i_dialog, const QString& i_label)
{
    auto* tabs = i_dialog.findChild<QTabWidget*>("logTabWidget");
    for (int k = 0; k < tabs->count(); ++k)
        if (tabs->tabText(k) == i_label)
            return qobject_cast<QPlainTextEdit*>(tabs->widget(k))->toPlainText().split('\n', Qt::SkipEmptyParts);
    return {"no page " + i_label};
}

QStringList Labels(ItemLogDialog& i_dialog)
{
    auto* tabs = i_dialog.findChild<QTabWidget*>("logTabWidget");
    QStringList labels;
    for (int k = 0; k < tabs->count(); ++k)
        labels << tabs->tabText(k);
    return labels;
}

// The entry with its attributes first, then tied to the item.
void WriteEntry(ItemPtr i_item, int i_order, const char* ip_area, int i_level, const char* ip_text)
{
    ItemPtr entry = T("item_log")->NewItem();
    entry += T("log_order")->GetItem(i_order);
    entry += T("log_area")->GetItem(ip_area);
    entry += T("log_level")->GetItem(i_level);
    entry += T("log_text")->GetItem(ip_text);
    entry += T("log_time")->GetItem("Mon Dec 7 10:00:00 2026");
    i_item += entry;
}

} // namespace

class TestItemLog : public QObject
{
    Q_OBJECT

    ServerTypesFixture m_fixture;

private slots:
    void init() { m_fixture.Reset(); }

    void withoutEntryTypesAnEmptyAllPage()
    {
        ItemLogDialog dialog(T("user")->GetItem("alice"));
        QCOMPARE(Labels(dialog), QStringList({"All"}));
        QVERIFY(PageLines(dialog, "All").isEmpty());
        QCOMPARE(dialog.windowTitle(), QString("Item Log"));
    }

    void entriesInOrderOnAllAndAreaPages()
    {
        Type* entryType = d->NewType("item_log", true, true, true);
        Relate(T("user"), entryType, One, Many);
        for (const char* name : {"log_order", "log_area", "log_level", "log_text", "log_time"})
            Relate(entryType, d->NewType(name, false, false, true), Many, One);

        ItemPtr alice = T("user")->GetItem("alice");
        WriteEntry(alice, 3, "Transfers", 1, "third");
        WriteEntry(alice, 1, "Chat", 2, "<b>first</b>");
        WriteEntry(alice, 2, "Transfers", 1, "second");
        WriteEntry(T("user")->GetItem("bob"), 0, "Chat", 1, "not alice");

        ItemLogDialog dialog(alice);
        QCOMPARE(Labels(dialog), QStringList({"All", "Chat", "Transfers"}));
        const QString stamp = "[Mon Dec 7 10:00:00 2026] ";
        QCOMPARE(PageLines(dialog, "All"),
                 QStringList({stamp + "   <b>first</b>", stamp + "second", stamp + "third"}));
        QCOMPARE(PageLines(dialog, "Transfers"), QStringList({stamp + "second", stamp + "third"}));

        // A new entry comes at the end whatever its order; "All" as an
        // area lands on the page of all entries twice.
        WriteEntry(alice, 0, "All", 1, "late");
        QCOMPARE(PageLines(dialog, "All").size(), 5);
        QCOMPARE(PageLines(dialog, "All").last(), stamp + "late");
        QCOMPARE(Labels(dialog).size(), 3);
    }
};

QTEST_MAIN(TestItemLog)
#include "test_itemlog.moc"
