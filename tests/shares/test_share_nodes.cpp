// Two real clients with shared files, each its own process, through the
// scripted central server: the login report of the share, the own upload
// speed, and one client browsing, opening a folder of and searching the
// other's share.

#include "SharesTestSupport.h"
#include "common/TestServer.h"
#include "peers/NodeProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace peertest;

class TestShareNodes : public QObject
{
    Q_OBJECT

private slots:
    void BrowseFolderAndSearchAcrossClients();
};

void TestShareNodes::BrowseFolderAndSearchAcrossClients()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path() + "/Music";
    sharestest::MakeFile(root + "/Band/01 first song.mp3", 3000);
    sharestest::MakeFile(root + "/Band/02 second song.mp3", 4000);
    sharestest::MakeFile(root + "/Band/Live/03 first live.mp3", 5000);
    sharestest::MakeFile(root + "/cover.jpg", 10);
    QDir().mkpath(root + "/Empty");

    TestServer ts;
    QVERIFY(ts.Start());
    QVERIFY(ts.Set("stats", QJsonObject{{"user", "anna"}, {"speed", 5555}}));
    Node anna;
    Node ben;
    QVERIFY(anna.Start("anna", ts.Port(), "tv_shares_node", {"--share", root}));
    QVERIFY(ben.Start("ben", ts.Port(), "tv_shares_node"));

    // The login reports every shared folder and file, and the own
    // statistics give the upload speed.
    QVERIFY(ts.WaitFor("anna", 35, 1, g_waitMs));
    const QJsonObject counts = ts.Received("anna", 35).last().toObject().value("fields").toObject();
    QCOMPARE(counts.value("folders").toInt(), 4);
    QCOMPARE(counts.value("files").toInt(), 4);
    QVERIFY(anna.WaitLine("UPLOAD_SPEED 5555"));
    QVERIFY(ben.WaitLine("UPLOAD_SPEED 0"));

    // Ben browses anna's share and stores it.
    ben.Command("BROWSE anna");
    QVERIFY(ben.WaitLine("SHARE anna 4 4"));
    QVERIFY(anna.WaitLine("LOG Shared file list requested by user ben"));

    // One folder's files, asked for by its wire path.
    const QByteArray band = QFile::encodeName(root + "/Band").replace('/', '\\');
    ben.Command("FOLDER anna 7 " + band);
    QVERIFY(ben.WaitLine("LOG Received the contents of folder " + band + " from user anna: 2 file(s)"));

    // A search from ben reaches anna through the distributed network; her
    // answer comes straight back.
    ben.Command("FIND First");
    QVERIFY(ben.WaitLine("RESULT anna 3000 " + band + "\\01 first song.mp3"));
    QVERIFY(ben.WaitLine("RESULT anna 5000 " + band + "\\Live\\03 first live.mp3"));
    QVERIFY(anna.WaitLine("LOG Sending search results to user ben for search string First"));
}

QTEST_MAIN(TestShareNodes)
#include "test_share_nodes.moc"
