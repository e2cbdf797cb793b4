// Two real clients, each its own process with its own HOME, through the
// scripted central server: a file goes from one client's share into the
// other's download folder; an uploader that dies mid-file leaves an exact
// prefix, and after its restart the download resumes where it stopped.

#include "common/TestFiles.h"
#include "common/TestServer.h"
#include "peers/NodeProcess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

using namespace peertest;

namespace
{

// Transfers under the sanitizers on a loaded machine may take a while.
const int kTransferWaitMs = 120000;

QByteArray ReadFile(const QString& i_path)
{
    QFile f(i_path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray Sha256(const QByteArray& i_bytes)
{
    return QCryptographicHash::hash(i_bytes, QCryptographicHash::Sha256).toHex();
}

bool WaitFor(Node& i_node, const QByteArray& i_line, int i_ms = kTransferWaitMs)
{
    return QTest::qWaitFor([&] { return i_node.Count(i_line) > 0; }, i_ms);
}

QByteArray Wire(const QString& i_path)
{
    return QFile::encodeName(i_path).replace('/', '\\');
}

} // namespace

class TestTransferNodes : public QObject
{
    Q_OBJECT

private slots:
    void FileMovesStopsAndResumes();
};

void TestTransferNodes::FileMovesStopsAndResumes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const qint64 size = 5 * 1024 * 1024 + 123;
    const QString share = dir.path() + "/share";
    const QByteArray first = RandomBytes(size, 20);
    QByteArray second = first;
    std::reverse(second.begin(), second.end());
    QVERIFY(WriteFile(share + "/Album/first.bin", first));
    QVERIFY(WriteFile(share + "/Album/second.bin", second));
    const QString downloads = dir.path() + "/dora/Tavrinel Downloads";

    TestServer ts;
    QVERIFY(ts.Start());
    Node ulla;
    Node dora;
    ulla.SetHome(dir.path() + "/ulla");
    dora.SetHome(dir.path() + "/dora");
    QVERIFY(ulla.Start("ulla", ts.Port(), "tv_transfer_node"));
    QVERIFY(dora.Start("dora", ts.Port(), "tv_transfer_node"));
    ulla.Command("SHARE " + QFile::encodeName(share));
    QVERIFY(ulla.WaitLine("SHARED 2"));

    // Queued, requested, uploaded: complete on both sides, in the kept
    // subfolder, byte for byte; the uploader reports its speed (code 121).
    dora.Command("GET ulla " + QByteArray::number(size) + " 0 " + Wire(share + "/Album/first.bin"));
    QVERIFY(WaitFor(dora, "DOWNLOAD queued ulla first.bin"));
    QVERIFY(WaitFor(ulla, "UPLOAD requesting dora first.bin"));
    QVERIFY(WaitFor(dora, "DOWNLOAD complete ulla first.bin"));
    QVERIFY(WaitFor(ulla, "UPLOAD complete dora first.bin"));
    QCOMPARE(Sha256(ReadFile(downloads + "/complete/Album/first.bin")), Sha256(first));
    QVERIFY(ts.WaitFor("ulla", 121, 1, g_waitMs));

    // Slowed down so that it can be stopped part-way: the uploader dies at
    // about 40%, the download ends "aborted" with an exact prefix.
    ulla.Command("LIMIT 512");
    dora.Command("GET ulla " + QByteArray::number(size) + " 0 " + Wire(share + "/Album/second.bin"));
    const QString partial = downloads + "/downloading/Album/second.bin";
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(partial).size() >= size * 4 / 10; }, kTransferWaitMs));
    ulla.Kill();
    QVERIFY(WaitFor(dora, "DOWNLOAD aborted ulla second.bin"));
    const QByteArray prefix = ReadFile(partial);
    QVERIFY(prefix.size() >= size * 4 / 10 && prefix.size() < size);
    QVERIFY(prefix == second.left(prefix.size()));

    // The uploader comes back: the download resumes at the partial length
    // and ends with the right bytes.
    Node again;
    again.SetHome(dir.path() + "/ulla");
    QVERIFY(again.Start("ulla", ts.Port(), "tv_transfer_node", {"--share", share}));
    QVERIFY(WaitFor(dora, "DOWNLOAD complete ulla second.bin"));
    QVERIFY(WaitFor(again, "UPLOAD_FIRST dora second.bin " + QByteArray::number(prefix.size() + 8192)));
    QCOMPARE(Sha256(ReadFile(downloads + "/complete/Album/second.bin")), Sha256(second));
    // Its request numbers start again at 1, yet no offer of it reaches the
    // finished download that an earlier number 1 named.
    QCOMPARE(dora.Count("LOG Download is already complete, closing the new connection"), 0);
    QVERIFY(!QFileInfo::exists(partial));
}

QTEST_GUILESS_MAIN(TestTransferNodes)
#include "test_transfer_nodes.moc"
