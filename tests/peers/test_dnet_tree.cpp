// Three real clients, each its own process (tv_dnet_node), build a tree
// through the scripted central server, and a search made at the server
// reaches the grandchild. Anna logs in first and is the branch root; nine
// scripted children fill her up so that she refuses cleo, the third client,
// who must then take ben as her parent: anna -> ben -> cleo.

#include "NodeProcess.h"
#include "PeerTestSupport.h"
#include "common/TestServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

using namespace peertest;

class TestDNetTree : public QObject
{
    Q_OBJECT

private slots:
    void SearchReachesTheGrandchild();

private:
    // The server's record of what the user last reported.
    bool WaitReport(const QString& i_user, bool i_noParent, int i_level, const QString& i_root);

    TestServer m_ts;
};

// Three client processes under the sanitizers start and find parents slowly on
// a loaded machine; the wait only bounds a hang.
static const int s_processWaitMs = 3 * g_waitMs;

bool TestDNetTree::WaitReport(const QString& i_user, bool i_noParent, int i_level,
                              const QString& i_root)
{
    return QTest::qWaitFor(
        [&] {
            for (const QJsonValue& value : m_ts.Users())
            {
                const QJsonObject u = value.toObject();
                if (u["user"].toString() == i_user)
                    return u["no_parent"].toBool() == i_noParent && u["level"].toInt(-1) == i_level &&
                           u["root"].toString() == i_root;
            }
            return false;
        },
        s_processWaitMs);
}

void TestDNetTree::SearchReachesTheGrandchild()
{
    QVERIFY(m_ts.Start());

    Node anna;
    QVERIFY(anna.Start("anna", m_ts.Port()));
    QVERIFY(WaitReport("anna", true, 0, "anna"));

    // Nine scripted children; ben will be the tenth.
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    std::vector<std::unique_ptr<FrameReader>> readers;
    for (int k = 0; k < 9; ++k)
    {
        fillers.push_back(ConnectRaw(anna.Port()));
        QVERIFY(fillers.back());
        readers.push_back(std::make_unique<FrameReader>());
        WriteRaw(fillers.back().get(), PeerInit("fill" + QByteArray::number(k), "D"));
        QCOMPARE(readers.back()->Next(fillers.back().get()), U32(DM_BRANCH_LEVEL) + U32(0));
        QCOMPARE(readers.back()->Next(fillers.back().get()), U32(DM_BRANCH_ROOT) + Str("anna"));
    }

    Node ben;
    QVERIFY(ben.Start("ben", m_ts.Port()));
    QVERIFY(WaitReport("ben", false, 1, "anna"));

    // Cleo is offered anna and ben; anna is full.
    Node cleo;
    QVERIFY(cleo.Start("cleo", m_ts.Port()));
    QVERIFY(WaitReport("cleo", false, 2, "anna"));
    QVERIFY(WaitReport("anna", true, 0, "anna"));

    // A searcher of raw sockets; the server hands its search to the branch
    // root only, and the tree carries it down.
    auto sam = ConnectRaw(m_ts.Port());
    QVERIFY(sam);
    const QByteArray digest = QCryptographicHash::hash("sampw", QCryptographicHash::Md5).toHex();
    WriteRaw(sam.get(), Frame(SM_LOGIN, Str("sam") + Str(digest) + U32(1)));
    QVERIFY(m_ts.WaitFor("sam", SM_LOGIN, 1, g_waitMs));
    WriteRaw(sam.get(), Frame(SM_FILE_SEARCH, U32(77) + Str("needle")));
    QVERIFY(cleo.WaitLine("SEARCH sam 77 needle"));
    QVERIFY(ben.WaitLine("SEARCH sam 77 needle"));
    QVERIFY(anna.WaitLine("SEARCH sam 77 needle"));
    QCOMPARE(readers[0]->Next(fillers[0].get()), U32(DM_SEARCH_REQUEST) + Str("sam") + U32(77) + Str("needle"));

    // Once each: a second search arrives after anything the first could
    // have left behind.
    WriteRaw(sam.get(), Frame(SM_FILE_SEARCH, U32(78) + Str("second")));
    QVERIFY(cleo.WaitLine("SEARCH sam 78 second"));
    QVERIFY(ben.WaitLine("SEARCH sam 78 second"));
    QCOMPARE(cleo.Count("SEARCH sam 77 needle"), 1);
    QCOMPARE(ben.Count("SEARCH sam 77 needle"), 1);

    // Ben goes: cleo loses her parent, reports that, is offered anna, who
    // has room again, and joins her.
    ben.Stop();
    QVERIFY(QTest::qWaitFor(
        [&] {
            int noParent = 0;
            for (const QJsonValue& m : m_ts.Received("cleo", SM_HAVE_NO_PARENT))
                noParent += m.toObject()["fields"].toObject()["no_parent"].toInt();
            return noParent == 2;
        },
        g_waitMs));
    QVERIFY(WaitReport("cleo", false, 1, "anna"));
}

QTEST_GUILESS_MAIN(TestDNetTree)
#include "test_dnet_tree.moc"
