// The log sink and the tracked users of the diagnostics view.

#include "ViewsTestSupport.h"

#include "DiagnosticsForm.h"
#include "Log.h"

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

#include <functional>

namespace {

QStringList Lines(const QString& i_text)
{
    return i_text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// What follows "[time] ".
QString Body(const QString& i_line)
{
    return i_line.mid(i_line.indexOf(QLatin1String("] ")) + 2);
}

} // namespace

class TestDiagnostics : public QObject
{
    Q_OBJECT

    ServerTypesFixture m_fixture;
    std::unique_ptr<DiagnosticsForm> mp_form;

    QTabWidget* LogTabs() { return mp_form->findChild<QTabWidget*>("logTabWidget"); }
    QTreeWidget* Tracked() { return mp_form->findChild<QTreeWidget*>("trackedUsersTree"); }

private slots:
    void init()
    {
        mp_form.reset();
        m_fixture.Reset();
        mp_form = std::make_unique<DiagnosticsForm>();
        mp_form->Init();
    }

    void cleanup()
    {
        mp_form.reset();
        QVERIFY(!HasLogSink());
    }

    void formHasItsPages()
    {
        auto* pages = mp_form->findChild<QTabWidget*>("tabWidget");
        QVERIFY(pages);
        QCOMPARE(pages->count(), 2);
        QCOMPARE(pages->tabText(0), QString("Tracked Users"));
        QCOMPARE(pages->tabText(1), QString("Logs"));
        QCOMPARE(pages->currentIndex(), 1);
        QCOMPARE(Tracked()->columnCount(), 2);
        QCOMPARE(Tracked()->headerItem()->text(0), QString("User"));
    }

    void categoriesGetTheirOwnTabs()
    {
        Log("Peer Messenger", 1, "first");
        Log("Server", 1, "upper");
        Log("server", 1, "lower");
        QCOMPARE(LogTabs()->count(), 3);
        QCOMPARE(LogTabs()->tabText(2), QString("server"));

        // The shown page stays while lines go to their own tabs.
        LogTabs()->setCurrentIndex(2);
        Log("Peer Messenger", 2, "second");
        Log("Peer Messenger", 3, "<b>x</b>", T("user")->GetItem("alice"));
        Log("Peer Messenger", 0, "level zero");
        Log("Peer Messenger", -4, "negative");
        QCOMPARE(LogTabs()->currentIndex(), 2);
        QCOMPARE(LogTabs()->count(), 3);

        const QStringList lines = Lines(mp_form->LogText("Peer Messenger"));
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].startsWith('['));
        QCOMPARE(Body(lines[0]), QString("first"));
        QCOMPARE(Body(lines[1]), QString("   second"));
        QCOMPARE(Body(lines[2]), QString("      <b>x</b>"));
        QCOMPARE(Body(lines[3]), QString("level zero"));
        QCOMPARE(Body(lines[4]), QString("negative"));
        QCOMPARE(Body(Lines(mp_form->LogText("Server")).value(0)), QString("upper"));
        QCOMPARE(Body(Lines(mp_form->LogText("server")).value(0)), QString("lower"));

        // Each category's page is in the store, for the data browser.
        QCOMPARE(T("log")->ItemCount(), size_t(3));
        ItemPtr server = T("log")->HasItem("server");
        QVERIFY(server);
        auto* page = reinterpret_cast<QPlainTextEdit*>(static_cast<uintptr_t>(server["log_widget"].AsUInt()));
        QCOMPARE(page, qobject_cast<QPlainTextEdit*>(LogTabs()->widget(2)));
    }

    void logIsBounded()
    {
        for (int k = 1; k <= DiagnosticsForm::MAX_LINES_PER_TAB + 1; ++k)
            Log("Busy", 1, QString::number(k));
        const QStringList lines = Lines(mp_form->LogText("Busy"));
        QCOMPARE(lines.size(), DiagnosticsForm::MAX_LINES_PER_TAB);
        QCOMPARE(Body(lines.first()), QString("2"));
        QCOMPARE(Body(lines.last()), QString::number(DiagnosticsForm::MAX_LINES_PER_TAB + 1));

        Log("Long", 1, QString(5 * 1000 * 1000, QLatin1Char('n')));
        const QString line = mp_form->LogText("Long");
        QCOMPARE(line.size(), DiagnosticsForm::MAX_LINE_LENGTH);
        QVERIFY(line.endsWith(QChar(0x2026)));
        QVERIFY(line.contains("] nnn"));
    }

    void linesLoggedInsideStoreOperations()
    {
        // A handler that logs a new category while the store adds, removes
        // and sweeps: the page and its store items are made at once.
        Type* thing = d->NewType("thing", false, false, true);
        DataHandler handlers;
        int seen = 0;
        std::function<void(Item*)> logRemoval = [&seen](Item* ip_item) {
            Log(QString("Removed %1").arg(++seen % 3), 1, QString::fromLatin1(ip_item->AsCStr()));
        };
        auto* onRemove = new FunctionHandler<Item*>(logRemoval);
        handlers.Track(onRemove);
        d->itemRemoved.Add(onRemove);
        auto* onAdd = new FunctionHandler<Item*>([](Item* ip_item) {
            if (ip_item->GetType()->GetName() == "thing")
                Log("Added", 1, QString::fromLatin1(ip_item->AsCStr()));
        });
        handlers.Track(onAdd);
        d->itemAdded.Add(onAdd);

        for (int k = 0; k < 50; ++k)
            thing->GetItem(k);
        QCOMPARE(d->RemoveDisconnectedItems(), size_t(50));
        QCOMPARE(seen, 50);
        QCOMPARE(Lines(mp_form->LogText("Added")).size(), 50);
        QCOMPARE(Lines(mp_form->LogText("Removed 0")).size(), 16);
        QVERIFY(T("log")->HasItem("Removed 2"));
        QVERIFY(ItemPtr(T("log")->HasItem("Removed 2"))["log_widget"]);
    }

    void trackedUsersFollowTheStore()
    {
        Server* server = m_fixture.server.get();
        server->TrackUser("alice");
        QCOMPARE(Tracked()->topLevelItemCount(), 1);
        QTreeWidgetItem* row = Tracked()->topLevelItem(0);
        QCOMPARE(row->text(0), QString("alice"));
        QCOMPARE(row->text(1), QString("Offline"));

        ItemPtr alice = T("user")->GetItem("alice");
        alice.NewItem("is_online");
        QCOMPARE(row->text(1), QString("Online"));
        alice.Disconnect("is_online");
        QCOMPARE(row->text(1), QString("Offline"));

        // Online changes of users without a row change nothing.
        ItemPtr(T("user")->GetItem("bob")).NewItem("is_online");
        QCOMPARE(Tracked()->topLevelItemCount(), 1);

        // A user online before tracking starts "Online"; rows keep their order.
        server->TrackUser("bob");
        QCOMPARE(Tracked()->topLevelItemCount(), 2);
        QCOMPARE(Tracked()->topLevelItem(1)->text(1), QString("Online"));

        // Untracking takes row and node; a later online change is harmless.
        server->UntrackUser("alice");
        QCOMPARE(Tracked()->topLevelItemCount(), 1);
        QCOMPARE(Tracked()->topLevelItem(0)->text(0), QString("bob"));
        QVERIFY(!alice["track_user_node"]);
        QCOMPARE(T("track_user_node")->ItemCount(), size_t(1));
        alice.NewItem("is_online");
        alice.Disconnect("is_online");

        // Tracking again makes a new row.
        server->TrackUser("alice");
        QCOMPARE(Tracked()->topLevelItemCount(), 2);
        QCOMPARE(Tracked()->topLevelItem(1)->text(0), QString("alice"));
        QCOMPARE(Tracked()->topLevelItem(1)->text(1), QString("Offline"));
        alice.NewItem("is_online");
        QCOMPARE(Tracked()->topLevelItem(1)->text(1), QString("Online"));
    }

    void aNewViewIgnoresTheRowsOfAGoneOne()
    {
        m_fixture.server->TrackUser("carol");
        Log("Gone", 1, "line");
        mp_form.reset();

        // The gone view's node still names its row; nothing reaches it.
        mp_form = std::make_unique<DiagnosticsForm>();
        mp_form->Init();
        ItemPtr carol = T("user")->GetItem("carol");
        QVERIFY(carol["track_user_node"]);
        carol.NewItem("is_online");
        QCOMPARE(Tracked()->topLevelItemCount(), 0);
        carol.Disconnect("is_tracked");
        QVERIFY(!carol["track_user_node"]);
        m_fixture.server->TrackUser("carol");
        QCOMPARE(Tracked()->topLevelItemCount(), 1);
        QCOMPARE(Tracked()->topLevelItem(0)->text(1), QString("Online"));

        // A category of the gone view gets a page of the new one.
        Log("Gone", 1, "again");
        QCOMPARE(LogTabs()->count(), 1);
        auto* page = reinterpret_cast<QPlainTextEdit*>(
            static_cast<uintptr_t>(ItemPtr(T("log")->HasItem("Gone"))["log_widget"].AsUInt()));
        QCOMPARE(page, qobject_cast<QPlainTextEdit*>(LogTabs()->widget(0)));
    }
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
