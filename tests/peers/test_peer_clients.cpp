// Two real clients, each its own process, reach each other through the
// scripted central server: the address lookup, the scrambled listener, the
// first message, and peer messages both ways over the connection that one
// of them made.

#include "NodeProcess.h"
#include "common/TestServer.h"

using namespace peertest;

class TestPeerClients : public QObject
{
    Q_OBJECT

private slots:
    void QueueAndTransferRequestBothWays();
    void OfflineUserGivesUp();

private:
    TestServer m_ts;
};

void TestPeerClients::QueueAndTransferRequestBothWays()
{
    QVERIFY(m_ts.Start());
    Node anna;
    Node ben;
    QVERIFY(anna.Start("anna", m_ts.Port()));
    QVERIFY(ben.Start("ben", m_ts.Port()));

    // Anna asks ben to queue a file; the name keeps its spaces and "\".
    anna.Command("QUEUE ben Music\\Some Album\\01 track.mp3");
    QVERIFY(ben.WaitLine("QUEUE_REQUESTED anna Music\\Some Album\\01 track.mp3"));

    // Ben answers over a connection of his own making: an upload request
    // with a size above 4 GiB, and anna's acceptance back.
    ben.Command("REQUEST anna 5000000000 Music\\Some Album\\01 track.mp3");
    QVERIFY(ben.WaitLine("REQUESTED 0"));
    QVERIFY(anna.WaitLine("TRANSFER_REQUESTED ben 1 0 5000000000 Music\\Some Album\\01 track.mp3"));
    anna.Command("ACCEPT ben 0 5000000000");
    QVERIFY(ben.WaitLine("TRANSFER_RESPONSE anna 0 1 5000000000"));

    // Request numbers count on from the stored counter.
    ben.Command("REQUEST anna 7 b.mp3");
    QVERIFY(ben.WaitLine("REQUESTED 1"));
    QVERIFY(anna.WaitLine("TRANSFER_REQUESTED ben 1 1 7 b.mp3"));
}

void TestPeerClients::OfflineUserGivesUp()
{
    QVERIFY(m_ts.Start());
    Node anna;
    QVERIFY(anna.Start("anna", m_ts.Port()));
    anna.Command("QUEUE nobody x.mp3");
    QVERIFY(anna.WaitLine("FAILED nobody P"));
}

QTEST_MAIN(TestPeerClients)
#include "test_peer_clients.moc"
