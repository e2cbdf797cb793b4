// Three real clients, each its own process (tv_dnet_node), build a tree
// through the scripted central server, and a search made at the server
// reaches the grandchild. Anna logs in first and is the branch root; nine
// scripted children fill her up so that she refuses cleo, the third client,
// who must then take ben as her parent: anna -> ben -> cleo.

#include "PeerTestSupport.h"
#include "common/TestServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

using namespace peertest;

namespace
{
// One tv_dnet_node process and the lines it printed.
class Node
{
public:
    ~Node() { Stop(); }

    bool Start(const QString& i_user, quint16 i_serverPort)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() + "/tv_dnet_node",
                        {"--user", i_user, "--password", "pw", "--server-port",
                         QString::number(i_serverPort)});
        if (!m_process.waitForStarted(g_waitMs) || !WaitLine("LOGGED_IN"))
            return false;
        const QByteArray listening = FirstLine("LISTENING ");
        m_port = quint16(listening.mid(10).toUInt());
        return m_port != 0;
    }

    // Closing its input ends the node.
    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(g_waitMs))
        {
            m_process.kill();
            m_process.waitForFinished(g_waitMs);
        }
    }

    bool WaitLine(const QByteArray& i_line)
    {
        return QTest::qWaitFor([&] { return Count(i_line) > 0; }, g_waitMs);
    }

    int Count(const QByteArray& i_line)
    {
        Read();
        return int(m_lines.count(i_line));
    }

    QByteArray FirstLine(const QByteArray& i_prefix)
    {
        Read();
        for (const QByteArray& line : m_lines)
            if (line.startsWith(i_prefix))
                return line;
        return {};
    }

    quint16 Port() const { return m_port; }

private:
    void Read()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines.append(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
    }

    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
    quint16 m_port = 0;
};
}

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
        g_waitMs);
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
