// Peer messages on an open "P" connection from a scripted peer: decoding of
// every received code, the compressed bodies under the inflate cap, the
// stored search replies, malformed messages closing the connection, and the
// exact bytes of every message the messenger sends; floods from a peer
// that never reads or sends what nobody asked for cost bounded memory.

#include "PeerTestSupport.h"

using namespace peertest;

namespace
{
const QByteArray SYNC_FILE = "sync-marker";

QByteArray ShareListBody()
{
    return U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0);
}
QByteArray SearchReplyBody()
{
    return Str("bob") + U32(7) + U32(1) + FileRecord("A\\x", 1) + B8(0) + U32(0) + U32(0) + U32(0);
}
QByteArray FolderReplyBody()
{
    return U32(3) + Str("A") + U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0);
}

// A zlib stream of i_head followed by i_zeros zero bytes, made a piece at a
// time.
QByteArray ZlibWithZeros(const QByteArray& i_head, size_t i_zeros)
{
    z_stream z{};
    deflateInit(&z, 9);
    const QByteArray zeros(1024 * 1024, '\0');
    QByteArray out;
    char buffer[65536];
    auto feed = [&](const QByteArray& i_bytes, size_t i_size, int i_flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(i_bytes.constData()));
        z.avail_in = uInt(i_size);
        do
        {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            deflate(&z, i_flush);
            out.append(buffer, int(sizeof buffer - z.avail_out));
        } while (z.avail_out == 0);
    };
    feed(i_head, size_t(i_head.size()), Z_NO_FLUSH);
    for (size_t left = i_zeros; left > 0;)
    {
        const size_t piece = std::min<size_t>(left, size_t(zeros.size()));
        left -= piece;
        feed(zeros, piece, left == 0 ? Z_FINISH : Z_NO_FLUSH);
    }
    deflateEnd(&z);
    return out;
}
}

class TestPeerMessages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ShareListDecoded();
    void SearchReplyStored();
    void SearchReplyForUnknownSearchDropped();
    void CompressedBodies_data();
    void CompressedBodies();
    void MessagesBecomeSignals();
    void MalformedMessagesClose_data();
    void MalformedMessagesClose();
    void UnknownCodeIgnored();
    void ShareListRequestAnsweredByProvider();
    void PlaceInLineAnsweredByProvider();
    void OperationsWriteExactBodies();
    void MostRecentConnectionCarriesMessages();
    void FloodsCostBoundedMemory();

private:
    // Sends a queue request and waits for it: everything sent before it
    // has been handled.
    bool Sync(QTcpSocket* ip_socket);

    Fixture m_fixture;
    PeerMessenger* mp_messenger = nullptr;
    std::unique_ptr<QTcpSocket> mp_bob;
};

void TestPeerMessages::init()
{
    m_fixture.SetUpStore();
    mp_messenger = m_fixture.NewMessenger();
    mp_bob = OpenMessaging(mp_messenger);
    QVERIFY(mp_bob);
    QVERIFY(Sync(mp_bob.get()));
}

void TestPeerMessages::cleanup()
{
    mp_bob.reset();
    m_fixture.TearDown();
    mp_messenger = nullptr;
}

bool TestPeerMessages::Sync(QTcpSocket* ip_socket)
{
    bool seen = false;
    auto c = connect(mp_messenger, &PeerMessenger::QueueUploadRequested, this,
                     [&](std::string, std::string i_file) { seen = seen || i_file == SYNC_FILE.toStdString(); });
    WriteRaw(ip_socket, Frame(PM_QUEUE_UPLOAD, Str(SYNC_FILE)));
    const bool ok = QTest::qWaitFor([&] { return seen || ip_socket->state() != QAbstractSocket::ConnectedState; },
                                    g_waitMs) &&
                    seen;
    disconnect(c);
    return ok;
}

void TestPeerMessages::ShareListDecoded()
{
    const QByteArray body = U32(2)
                            // Folder with an MP3, a record whose present byte is 0, a plain file.
                            + Str("Music\\A") + U32(3) +
                            FileRecord("song.mp3", 1000, "mp3", {{0, 320}, {2, 1}}) + B8(0) +
                            FileRecord("b.txt", 5)
                            // An empty folder.
                            + Str("Music\\Empty") + U32(0)
                            // Translation table.
                            + U32(1) + I32(0) + Str("bitrate");

    std::string user;
    FileInfoMap share;
    AttributeTranslationTable table;
    int calls = 0;
    connect(mp_messenger, &PeerMessenger::UserShare, this,
            [&](std::string i_user, FileInfoMap& i_share, AttributeTranslationTable& i_table) {
                ++calls;
                user = i_user;
                share = i_share;
                table = i_table;
            });
    mp_messenger->GetUserSharedFiles("bob");
    WriteRaw(mp_bob.get(), Frame(U32(PM_SHARED_FILE_LIST) + Zlib(body)));
    QTRY_COMPARE_WITH_TIMEOUT(calls, 1, g_waitMs);

    QCOMPARE(user, std::string("bob"));
    QCOMPARE(share.size(), size_t(2));
    const std::set<FileInfo>& files = share["Music\\A"];
    QCOMPARE(files.size(), size_t(2));
    const FileInfo& b = *files.begin();
    QCOMPARE(b.m_name, std::string("b.txt"));
    QCOMPARE(b.m_size, qint64(5));
    const FileInfo& song = *std::next(files.begin());
    QCOMPARE(song.m_name, std::string("song.mp3"));
    QCOMPARE(song.m_attributes.m_extension, std::string("mp3"));
    QCOMPARE(song.m_attributes.m_attributes.size(), size_t(2));
    QCOMPARE(song.m_attributes.m_attributes[0], AttributeMap::Attribute(0, 320));
    QVERIFY(share["Music\\Empty"].empty());
    QCOMPARE(table[0], std::string("bitrate"));
    QVERIFY(Sync(mp_bob.get()));
}

void TestPeerMessages::SearchReplyStored()
{
    T("search_request")->NewItem(std::string("7"));
    const QByteArray body = Str("bob") + U32(7) + U32(2) +
                            FileRecord("Music\\Album\\song.mp3", 1234567890123LL, "mp3",
                                       {{0, 192}, {1, 245}, {2, 0}}) +
                            FileRecord("top.txt", 10) + B8(1) + U32(2048) + U32(3) + U32(0);
    QSignalSpy results(mp_messenger, &PeerMessenger::SearchResults);
    WriteRaw(mp_bob.get(), Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(body)));
    QVERIFY(results.wait(g_waitMs));

    ItemPtr reply = results.at(0).at(0).value<ItemPtr>();
    QVERIFY(reply);
    QCOMPARE(reply->GetType()->GetName(), std::string("search_results"));
    QCOMPARE(g("search_results").size(), size_t(1));
    QCOMPARE(reply["search_request"].AsString(), std::string("7"));
    QCOMPARE(reply["user"].AsString(), std::string("bob"));
    QCOMPARE(reply["search_results_user_available"].AsString(), std::string("yes"));
    QCOMPARE(reply["search_results_user_speed"].AsString(), std::string("2048"));
    QCOMPARE(reply["search_results_uploads_in_queue"].AsString(), std::string("3"));

    const ItemSet files = reply.GetItems("search_result");
    QCOMPARE(files.size(), size_t(2));
    ItemPtr song = files.Connected("search_result_file_name", "song.mp3");
    QVERIFY(song);
    QCOMPARE(song["search_result_file_folder"].AsString(), std::string("Music\\Album"));
    QCOMPARE(song["file_size"].AsString(), std::string("1234567890123"));
    QCOMPARE(song["bitrate"].AsString(), std::string("192"));
    QCOMPARE(song["length_seconds"].AsString(), std::string("245"));
    QCOMPARE(song["bitrate_mode"].AsString(), std::string("cbr"));
    ItemPtr top = files.Connected("search_result_file_name", "top.txt");
    QVERIFY(top);
    QCOMPARE(top["search_result_file_folder"].AsString(), std::string());
    QVERIFY(!top["bitrate"] && !top["bitrate_mode"] && !top["length_seconds"]);

    // The request owns its replies, a reply its results.
    T("search_request")->HasItem(std::string("7"))->Remove();
    d->RemoveDisconnectedItems();
    QCOMPARE(g("search_results").size(), size_t(0));
    QCOMPARE(g("search_result").size(), size_t(0));
}

void TestPeerMessages::SearchReplyForUnknownSearchDropped()
{
    T("search_request")->NewItem(std::string("7"));
    QSignalSpy results(mp_messenger, &PeerMessenger::SearchResults);
    const QByteArray body = Str("bob") + U32(8) + U32(1) + FileRecord("A\\x", 1) + B8(0) + U32(0) + U32(0) + U32(0);
    WriteRaw(mp_bob.get(), Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(body)));
    QVERIFY(Sync(mp_bob.get()));
    QCOMPARE(results.count(), 0);
    QCOMPARE(g("search_results").size(), size_t(0));
    QCOMPARE(g("search_result").size(), size_t(0));
}

void TestPeerMessages::CompressedBodies_data()
{
    QTest::addColumn<quint32>("code");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<qint64>("cap");
    QTest::addColumn<bool>("keptOpen");

    const std::vector<std::pair<quint32, QByteArray>> bodies = {
        {PM_SHARED_FILE_LIST, ShareListBody()},
        {PM_FILE_SEARCH_RESULT, SearchReplyBody()},
        {PM_SHARED_FILES_IN_FOLDER, FolderReplyBody()}};
    for (const auto& [code, body] : bodies)
    {
        const QByteArray z = Zlib(body);
        const qint64 size = body.size();
        const QByteArray name = QByteArray::number(code);
        QTest::newRow(name + " whole") << code << z << qint64(0) << true;
        QTest::newRow(name + " inflates to the cap") << code << z << size << true;
        QTest::newRow(name + " inflates beyond the cap") << code << z << size - 1 << false;
        QTest::newRow(name + " not zlib") << code << QByteArray("this is not a zlib stream") << qint64(0) << false;
        QTest::newRow(name + " stream cut short") << code << z.left(z.size() / 2) << qint64(0) << false;
        QTest::newRow(name + " body cut short") << code << Zlib(body.left(body.size() - 4)) << qint64(0) << false;
        QTest::newRow(name + " nothing") << code << QByteArray() << qint64(0) << false;
    }
    // Counts that promise more than the body holds.
    QTest::newRow("5 folder count too high")
        << quint32(PM_SHARED_FILE_LIST) << Zlib(U32(1000000) + U32(0)) << qint64(0) << false;
    QTest::newRow("9 file count too high")
        << quint32(PM_FILE_SEARCH_RESULT) << Zlib(Str("bob") + U32(7) + U32(4000000)) << qint64(0) << false;
}

void TestPeerMessages::CompressedBodies()
{
    QFETCH(quint32, code);
    QFETCH(QByteArray, payload);
    QFETCH(qint64, cap);
    QFETCH(bool, keptOpen);

    T("search_request")->NewItem(std::string("7"));
    if (cap > 0)
        mp_messenger->SetInflateCap(size_t(cap));
    int shares = 0;
    connect(mp_messenger, &PeerMessenger::UserShare, this,
            [&](std::string, FileInfoMap&, AttributeTranslationTable&) { ++shares; });
    QSignalSpy results(mp_messenger, &PeerMessenger::SearchResults);
    mp_messenger->GetUserSharedFiles("bob");
    WriteRaw(mp_bob.get(), Frame(U32(code) + payload));
    if (keptOpen)
    {
        QVERIFY(Sync(mp_bob.get()));
        QCOMPARE(shares, code == PM_SHARED_FILE_LIST ? 1 : 0);
        QCOMPARE(results.count(), code == PM_FILE_SEARCH_RESULT ? 1 : 0);
    }
    else
    {
        QVERIFY(WaitClosed(mp_bob.get()));
        QCOMPARE(shares, 0);
        QCOMPARE(results.count(), 0);
        QCOMPARE(g("search_results").size(), size_t(0));
        QVERIFY(m_fixture.Logged("Malformed message with code " + QString::number(code)));
    }
}

void TestPeerMessages::MessagesBecomeSignals()
{
    QSignalSpy folder(mp_messenger, &PeerMessenger::SharedFilesInFolderRequested);
    QSignalSpy transfer(mp_messenger, &PeerMessenger::FileTransferRequested);
    QSignalSpy response(mp_messenger, &PeerMessenger::FileTransferResponse);
    QSignalSpy failed(mp_messenger, &PeerMessenger::UploadFailed);
    QSignalSpy denied(mp_messenger, &PeerMessenger::UploadDenied);
    QSignalSpy place(mp_messenger, &PeerMessenger::DownloadPlaceInLine);

    WriteRaw(mp_bob.get(),
             Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(12) + Str("Music\\A")) +
                 Frame(PM_TRANSFER_REQUEST, U32(1) + U32(5) + Str("A\\x.mp3") + I64(5000000000LL)) +
                 // The size of a transfer request is optional.
                 Frame(PM_TRANSFER_REQUEST, U32(0) + U32(6) + Str("A\\y.mp3")) +
                 Frame(PM_TRANSFER_RESPONSE, U32(5) + B8(1) + I64(77)) +
                 Frame(PM_TRANSFER_RESPONSE, U32(6) + B8(1)) +
                 Frame(PM_TRANSFER_RESPONSE, U32(7) + B8(0) + Str("Cancelled")) +
                 Frame(PM_UPLOAD_FAILED, Str("A\\x.mp3")) +
                 Frame(PM_UPLOAD_DENIED, Str("A\\y.mp3") + Str("File not shared.")) +
                 Frame(PM_UPLOAD_PLACE_IN_LINE, Str("A\\z.mp3") + U32(4)));
    QVERIFY(Sync(mp_bob.get()));

    QCOMPARE(folder.count(), 1);
    QCOMPARE(folder[0][0].value<std::string>(), std::string("bob"));
    QCOMPARE(folder[0][1].toUInt(), 12u);
    QCOMPARE(folder[0][2].value<std::string>(), std::string("Music\\A"));

    QCOMPARE(transfer.count(), 2);
    QCOMPARE(transfer[0][1].toInt(), 1);
    QCOMPARE(transfer[0][2].toUInt(), 5u);
    QCOMPARE(transfer[0][3].value<std::string>(), std::string("A\\x.mp3"));
    QCOMPARE(transfer[0][4].value<qint64>(), 5000000000LL);
    QCOMPARE(transfer[1][1].toInt(), 0);
    QCOMPARE(transfer[1][4].value<qint64>(), 0LL);

    QCOMPARE(response.count(), 3);
    QCOMPARE(response[0][1].toUInt(), 5u);
    QCOMPARE(response[0][2].toBool(), true);
    QCOMPARE(response[0][3].toBool(), true);
    QCOMPARE(response[0][4].value<qint64>(), 77LL);
    QCOMPARE(response[1][2].toBool(), true);
    QCOMPARE(response[1][3].toBool(), false);
    QCOMPARE(response[2][2].toBool(), false);
    QCOMPARE(response[2][5].value<std::string>(), std::string("Cancelled"));

    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][1].value<std::string>(), std::string("A\\x.mp3"));
    QCOMPARE(denied.count(), 1);
    QCOMPARE(denied[0][2].value<std::string>(), std::string("File not shared."));
    QCOMPARE(place.count(), 1);
    QCOMPARE(place[0][1].value<std::string>(), std::string("A\\z.mp3"));
    QCOMPARE(place[0][2].toInt(), 4);
}

void TestPeerMessages::MalformedMessagesClose_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("transfer request cut short") << Frame(PM_TRANSFER_REQUEST, U32(1));
    QTest::newRow("transfer request negative size")
        << Frame(PM_TRANSFER_REQUEST, U32(1) + U32(5) + Str("x") + I64(-1));
    QTest::newRow("refusal without reason") << Frame(PM_TRANSFER_RESPONSE, U32(5) + B8(0));
    QTest::newRow("string longer than the frame") << Frame(PM_QUEUE_UPLOAD, U32(100) + "abc");
    QTest::newRow("folder request without folder") << Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(3));
    QTest::newRow("place beyond int") << Frame(PM_UPLOAD_PLACE_IN_LINE, Str("x") + U32(0x80000000u));
    QTest::newRow("denial without reason") << Frame(PM_UPLOAD_DENIED, Str("x"));
    QTest::newRow("peer init again") << PeerInit("bob", "P");
    QTest::newRow("pierce outside the first frame") << Pierce(5);
    QTest::newRow("frame below four bytes") << U32(2) + QByteArray(2, 'x');
    QTest::newRow("frame over the limit") << U32(MAX_PEER_FRAME + 1);
}

void TestPeerMessages::MalformedMessagesClose()
{
    QFETCH(QByteArray, frame);
    QSignalSpy anyQueue(mp_messenger, &PeerMessenger::QueueUploadRequested);
    WriteRaw(mp_bob.get(), frame + Frame(PM_QUEUE_UPLOAD, Str("after")));
    QVERIFY(WaitClosed(mp_bob.get()));
    QCOMPARE(anyQueue.count(), 0);
}

void TestPeerMessages::UnknownCodeIgnored()
{
    WriteRaw(mp_bob.get(), Frame(999, Str("whatever")));
    QVERIFY(Sync(mp_bob.get()));
    QVERIFY(m_fixture.Logged("unknown code 999"));
}

void TestPeerMessages::ShareListRequestAnsweredByProvider()
{
    FrameReader reader;
    // No shares yet: nothing is answered, and the connection stays.
    WriteRaw(mp_bob.get(), Frame(PM_GET_SHARED_FILE_LIST));
    QVERIFY(Sync(mp_bob.get()));
    QCOMPARE(mp_bob->bytesAvailable(), 0);

    FakeShares shares;
    WriteRaw(mp_bob.get(), Frame(PM_GET_SHARED_FILE_LIST));
    const QByteArray reply = reader.Next(mp_bob.get());
    QCOMPARE(reply, U32(PM_SHARED_FILE_LIST) + shares.m_body);
    QCOMPARE(shares.m_askedBy, std::vector<std::string>{"bob"});
}

void TestPeerMessages::PlaceInLineAnsweredByProvider()
{
    FakeUploads uploads;
    uploads.m_known = "A\\queued.mp3";
    uploads.m_place = 3;
    FrameReader reader;
    WriteRaw(mp_bob.get(), Frame(PM_UPLOAD_PLACE_IN_LINE_REQUEST, Str("A\\unknown.mp3")) +
                               Frame(PM_UPLOAD_PLACE_IN_LINE_REQUEST, Str("A\\queued.mp3")));
    // Only the known file is answered.
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_UPLOAD_PLACE_IN_LINE) + Str("A\\queued.mp3") + U32(3));
    QCOMPARE(uploads.m_asked.size(), size_t(2));
    QCOMPARE(uploads.m_asked[0].first, std::string("bob"));
    QCOMPARE(uploads.m_asked[0].second, std::string("A\\unknown.mp3"));
}

void TestPeerMessages::OperationsWriteExactBodies()
{
    FrameReader reader;
    mp_messenger->GetUserSharedFiles("bob");
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_GET_SHARED_FILE_LIST));

    mp_messenger->QueueDownload("bob", "Music\\A\\song.mp3");
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_QUEUE_UPLOAD) + Str("Music\\A\\song.mp3"));

    QCOMPARE(mp_messenger->RequestUpload("bob", "A\\x", 1234), 0u);
    QCOMPARE(mp_messenger->RequestUpload("bob", "A\\y", 5000000000LL), 1u);
    QCOMPARE(GetSetting("transfer_req_counter"), std::string("2"));
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_REQUEST) + U32(1) + U32(0) + Str("A\\x") + I64(1234));
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_REQUEST) + U32(1) + U32(1) + Str("A\\y") + I64(5000000000LL));
    SetSetting("transfer_req_counter", "41");
    QCOMPARE(mp_messenger->RequestUpload("bob", "A\\z", 1), 41u);
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_REQUEST) + U32(1) + U32(41) + Str("A\\z") + I64(1));

    mp_messenger->AcceptTransferRequest("bob", 9, false, 0);
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_RESPONSE) + U32(9) + B8(1));
    mp_messenger->AcceptTransferRequest("bob", 10, true, 4096);
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_RESPONSE) + U32(10) + B8(1) + I64(4096));
    mp_messenger->DenyTransferRequest("bob", 11, "Cancelled");
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_TRANSFER_RESPONSE) + U32(11) + B8(0) + Str("Cancelled"));
    mp_messenger->DenyUpload("bob", "A\\x", "File read error.");
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_UPLOAD_DENIED) + Str("A\\x") + Str("File read error."));

    // A message without a code is not sent at all.
    mp_messenger->SendMessage("bob", Stream("ab"));
    mp_messenger->SendMessage("bob", Stream(U32(PM_UPLOAD_FAILED) + Str("A\\x")));
    QCOMPARE(reader.Next(mp_bob.get()), U32(PM_UPLOAD_FAILED) + Str("A\\x"));
}

void TestPeerMessages::MostRecentConnectionCarriesMessages()
{
    auto second = OpenMessaging(mp_messenger);
    QVERIFY(second);
    QVERIFY(Sync(second.get()));
    FrameReader firstReader;
    FrameReader secondReader;

    mp_messenger->GetUserSharedFiles("bob");
    QCOMPARE(secondReader.Next(second.get()), U32(PM_GET_SHARED_FILE_LIST));

    second->abort();
    QVERIFY(QTest::qWaitFor([&] { return m_fixture.Logged("closed by the other side"); }, g_waitMs));
    mp_messenger->QueueDownload("bob", "A\\x");
    QCOMPARE(firstReader.Next(mp_bob.get()), U32(PM_QUEUE_UPLOAD) + Str("A\\x"));
}

void TestPeerMessages::FloodsCostBoundedMemory()
{
    FakeShares shares;
    auto carol = OpenMessaging(mp_messenger, "carol");
    QVERIFY(carol);
    QVERIFY(Sync(carol.get()));
    // Mallory never reads: its socket here stops taking bytes from the
    // system once it holds a few.
    auto mallory = ConnectRaw(mp_messenger->ListeningPort());
    QVERIFY(mallory);
    mallory->setReadBufferSize(4096);
    WriteRaw(mallory.get(), PeerInit("mallory", "P"));
    QVERIFY(Sync(mallory.get()));

    // A burst of thousands of requests is handled a part at a time: a
    // request from someone else, sent after the whole burst, is answered
    // while much of the burst is still to come.
    const int burst = 5000;
    QByteArray requests;
    for (int k = 0; k < burst; ++k)
        requests += Frame(PM_GET_SHARED_FILE_LIST);
    WriteRaw(mallory.get(), requests);
    WriteRaw(carol.get(), Frame(PM_GET_SHARED_FILE_LIST));
    FrameReader carolReader;
    QCOMPARE(carolReader.Next(carol.get()), U32(PM_SHARED_FILE_LIST) + shares.m_body);
    const auto carolAt = std::find(shares.m_askedBy.begin(), shares.m_askedBy.end(), "carol");
    QVERIFY(carolAt != shares.m_askedBy.end());
    QVERIFY(carolAt - shares.m_askedBy.begin() < burst / 2);
    QTRY_COMPARE_WITH_TIMEOUT(shares.m_askedBy.size(), size_t(burst + 1), 6 * g_waitMs);

    // With answers that do not compress away, a peer that does not read
    // gets no more of them made than its queue holds: its requests wait
    // unread, and it holds one copy of the answer at most.
    QByteArray noise(256 * 1024, '\0');
    quint32 word = 12345;
    for (char& c : noise)
        c = char((word = word * 1664525u + 1013904223u) >> 24);
    shares.m_body = noise;
    shares.m_askedBy.clear();
    QSignalSpy results(mp_messenger, &PeerMessenger::SearchResults);
    const size_t before = HeapInUse();
    WriteRaw(mallory.get(), requests);
    QTRY_VERIFY_WITH_TIMEOUT(shares.m_askedBy.size() >= PeerBounds::MAX_QUEUED_MESSAGES, 6 * g_waitMs);
    // The others go on.
    WriteRaw(carol.get(), Frame(PM_GET_SHARED_FILE_LIST));
    QCOMPARE(carolReader.Next(carol.get()), U32(PM_SHARED_FILE_LIST) + noise);
    QVERIFY(shares.m_askedBy.size() < size_t(burst) / 2);
    QVERIFY2(HeapInUse() < before + 2 * 1024 * 1024,
             qPrintable(QString("%1 bytes more than before").arg(qint64(HeapInUse()) - qint64(before))));

    // Search results for no search of ours are dropped after their first
    // bytes, however far they would inflate (here beyond the cap of any
    // body), with one line for the connection, which stays.
    T("search_request")->NewItem(std::string("7"));
    const QByteArray unasked = Frame(U32(PM_FILE_SEARCH_RESULT) +
                                     ZlibWithZeros(Str("bob") + U32(99), size_t(MAX_INFLATED_BODY) + 1024));
    WriteRaw(mp_bob.get(), unasked + unasked);
    QVERIFY(Sync(mp_bob.get()));
    QCOMPARE(results.count(), 0);
    QCOMPARE(std::count_if(m_fixture.m_log.begin(), m_fixture.m_log.end(),
                           [](const QString& i_line) { return i_line.contains("for search 99, which is not ours"); }),
             1);
    WriteRaw(mp_bob.get(), Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(SearchReplyBody())));
    QTRY_COMPARE_WITH_TIMEOUT(results.count(), 1, g_waitMs);
}

QTEST_MAIN(TestPeerMessages)
#include "test_peer_messages.moc"
