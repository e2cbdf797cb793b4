// The peer-message decoders on their own, without sockets: every message
// cut short anywhere is refused (except where an optional field begins),
// bytes after the last field are ignored, and counts
// that promise more than the body holds are refused before anything is
// reserved for them.

#include "PeerMessageDecoders.h"
#include "PeerTestSupport.h"

#include <functional>

using namespace peertest;

namespace
{
using Decoder = std::function<bool(const char*, size_t)>;

template <typename M>
Decoder Into(bool (*ip_decode)(const char*, size_t, M&))
{
    return [ip_decode](const char* ip_data, size_t i_size) {
        M message;
        return ip_decode(ip_data, i_size, message);
    };
}

Decoder Fields()
{
    return [](const char* ip_data, size_t i_size) {
        std::string file;
        return PeerDecoders::DecodeFileName(ip_data, i_size, file);
    };
}

Decoder Pierce()
{
    return [](const char* ip_data, size_t i_size) {
        quint32 token = 0;
        return PeerDecoders::DecodePierceFirewall(ip_data, i_size, token);
    };
}

const QByteArray TABLE = U32(1) + I32(0) + Str("bitrate");
}

Q_DECLARE_METATYPE(Decoder)

class TestPeerDecoders : public QObject
{
    Q_OBJECT

private slots:
    void CutShortRefused_data();
    void CutShortRefused();
    void DecodedFields();
    void CountsBeyondTheBodyRefused();
};

void TestPeerDecoders::CutShortRefused_data()
{
    QTest::addColumn<Decoder>("decode");
    QTest::addColumn<QByteArray>("body");
    // Lengths shorter than the body that are still whole messages.
    QTest::addColumn<QList<int>>("alsoWhole");

    const QByteArray request = U32(1) + U32(5) + Str("A\\x.mp3");
    // The optional size counts only whole: a part of it is bytes after the
    // last field, ignored like any.
    const auto from = [](int i_first) {
        QList<int> lengths;
        for (int n = i_first; n < i_first + 8; ++n)
            lengths.append(n);
        return lengths;
    };
    QTest::newRow("peer init") << Into(&PeerDecoders::DecodePeerInit) << Str("bob") + Str("F") + U32(0)
                               << QList<int>{};
    QTest::newRow("pierce firewall") << Pierce() << U32(77) << QList<int>{};
    QTest::newRow("share list")
        << Into(&PeerDecoders::DecodeSharedFileList)
        << U32(2) + Str("A") + U32(2) + FileRecord("x", 1, "mp3", {{0, 192}}) + B8(0) + Str("B") + U32(0) + TABLE
        << QList<int>{};
    QTest::newRow("search result")
        << Into(&PeerDecoders::DecodeSearchResult)
        << Str("bob") + U32(7) + U32(2) + FileRecord("A\\x", 1, "mp3", {{1, 245}}) + B8(0) + B8(1) + U32(5) +
               U32(0) + TABLE
        << QList<int>{};
    QTest::newRow("folder request") << Into(&PeerDecoders::DecodeGetSharedFilesInFolder) << U32(3) + Str("A\\B")
                                    << QList<int>{};
    QTest::newRow("folder contents")
        << Into(&PeerDecoders::DecodeSharedFilesInFolder)
        << U32(3) + Str("A") + U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0) << QList<int>{};
    QTest::newRow("transfer request") << Into(&PeerDecoders::DecodeTransferRequest) << request + I64(10)
                                      << from(int(request.size()));
    QTest::newRow("transfer allowed") << Into(&PeerDecoders::DecodeTransferResponse) << U32(5) + B8(1) + I64(10)
                                      << from(5);
    QTest::newRow("transfer refused") << Into(&PeerDecoders::DecodeTransferResponse)
                                      << U32(5) + B8(0) + Str("Cancelled") << QList<int>{};
    QTest::newRow("file name") << Fields() << Str("A\\x.mp3") << QList<int>{};
    QTest::newRow("upload denied") << Into(&PeerDecoders::DecodeUploadDenied) << Str("A\\x") + Str("Banned")
                                   << QList<int>{};
    QTest::newRow("place in line") << Into(&PeerDecoders::DecodePlaceInLine) << Str("A\\x") + U32(3)
                                   << QList<int>{};
}

void TestPeerDecoders::CutShortRefused()
{
    QFETCH(Decoder, decode);
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, alsoWhole);

    QVERIFY(decode(body.constData(), size_t(body.size())));
    const QByteArray longer = body + QByteArray(9, '\x7f');
    QVERIFY2(decode(longer.constData(), size_t(longer.size())), "trailing bytes must be ignored");
    for (int n = 0; n < body.size(); ++n)
    {
        // A copy of exactly n bytes, so that the sanitizers see any read beyond.
        const QByteArray cut = body.left(n);
        QCOMPARE(decode(cut.constData(), size_t(n)), alsoWhole.contains(n));
    }
}

void TestPeerDecoders::DecodedFields()
{
    // A folder listed twice gathers both lists; a record whose present
    // byte is 0 is no file; duplicates (same name and size) count once.
    const QByteArray list = U32(3) + Str("A") + U32(2) + FileRecord("x", 1) + B8(0) + Str("A") + U32(2) +
                            FileRecord("y", 2) + FileRecord("x", 1) + Str("B") + U32(0) + TABLE;
    PeerDecoders::SharedFileList share;
    QVERIFY(PeerDecoders::DecodeSharedFileList(list.constData(), size_t(list.size()), share));
    QCOMPARE(share.m_share.size(), size_t(2));
    QCOMPARE(share.m_share["A"].size(), size_t(2));
    QVERIFY(share.m_share["B"].empty());
    QCOMPARE(share.m_table.at(0), std::string("bitrate"));

    const QByteArray reply = Str("bob") + U32(7) + U32(3) + FileRecord("A\\z", 5, "mp3", {{0, 320}, {2, 1}}) +
                             B8(0) + FileRecord("A\\a", 6) + B8(1) + U32(100) + U32(2) + U32(0);
    PeerDecoders::SearchResult result;
    QVERIFY(PeerDecoders::DecodeSearchResult(reply.constData(), size_t(reply.size()), result));
    QCOMPARE(result.m_user, std::string("bob"));
    QCOMPARE(result.m_req, 7u);
    QCOMPARE(result.m_files.size(), size_t(2));
    QCOMPARE(result.m_files[0].m_name, std::string("A\\z"));   // wire order kept
    QCOMPARE(result.m_files[0].m_attributes.m_attributes.size(), size_t(2));
    QCOMPARE(result.m_files[1].m_size, qint64(6));
    QVERIFY(result.m_freeSlot);
    QCOMPARE(result.m_speed, 100u);
    QCOMPARE(result.m_queued, 2u);

    const QByteArray init = Str("bob") + Str("X") + U32(0);
    PeerDecoders::PeerInit peer;
    QVERIFY(!PeerDecoders::DecodePeerInit(init.constData(), size_t(init.size()), peer));
    const QByteArray nameless = Str("") + Str("P") + U32(0);
    QVERIFY(!PeerDecoders::DecodePeerInit(nameless.constData(), size_t(nameless.size()), peer));
}

void TestPeerDecoders::CountsBeyondTheBodyRefused()
{
    const QByteArray manyFolders = U32(0xffffffffu) + U32(0);
    PeerDecoders::SharedFileList share;
    QVERIFY(!PeerDecoders::DecodeSharedFileList(manyFolders.constData(), size_t(manyFolders.size()), share));

    const QByteArray manyFiles = Str("bob") + U32(7) + U32(MAX_FOLDER_RECORDS) + FileRecord("x", 1);
    PeerDecoders::SearchResult result;
    QVERIFY(!PeerDecoders::DecodeSearchResult(manyFiles.constData(), size_t(manyFiles.size()), result));
    QCOMPARE(result.m_files.capacity(), size_t(0));

    // The bounds themselves, with bytes enough behind them: absent records
    // of one byte, table entries of a code and an empty text.
    const auto reply = [](quint32 i_files) {
        return Str("bob") + U32(7) + U32(i_files) + QByteArray(int(i_files), '\0') + B8(0) + U32(0) + U32(0) +
               U32(0);
    };
    const QByteArray atLimit = reply(MAX_FOLDER_RECORDS);
    QVERIFY(PeerDecoders::DecodeSearchResult(atLimit.constData(), size_t(atLimit.size()), result));
    QVERIFY(result.m_files.empty());
    const QByteArray overLimit = reply(MAX_FOLDER_RECORDS + 1);
    QVERIFY(!PeerDecoders::DecodeSearchResult(overLimit.constData(), size_t(overLimit.size()), result));

    // A whole share list is bounded too: folders, and files over all folders
    // (absent records of one byte each keep the body small).
    const QByteArray tooManyFolders = U32(MAX_SHARE_LIST_FOLDERS + 1) + QByteArray(int(MAX_SHARE_LIST_FOLDERS + 1) * 8, '\0') + U32(0);
    QVERIFY(!PeerDecoders::DecodeSharedFileList(tooManyFolders.constData(), size_t(tooManyFolders.size()), share));
    const quint32 folderCount = MAX_SHARE_LIST_FILES / MAX_FOLDER_RECORDS + 1;
    QByteArray tooManyFiles = U32(folderCount);
    for (quint32 k = 0; k < folderCount; ++k)
        tooManyFiles += Str("F" + QByteArray::number(k)) + U32(MAX_FOLDER_RECORDS) + QByteArray(int(MAX_FOLDER_RECORDS), '\0');
    tooManyFiles += U32(0);
    QVERIFY(!PeerDecoders::DecodeSharedFileList(tooManyFiles.constData(), size_t(tooManyFiles.size()), share));

    const auto table = [](quint32 i_entries) {
        return U32(0) + U32(i_entries) + QByteArray(int(i_entries) * 8, '\0');
    };
    const QByteArray fullTable = table(PeerDecoders::MAX_TABLE_ENTRIES);
    QVERIFY(PeerDecoders::DecodeSharedFileList(fullTable.constData(), size_t(fullTable.size()), share));
    QCOMPARE(share.m_table.size(), size_t(1));   // every entry has code 0
    const QByteArray overTable = table(PeerDecoders::MAX_TABLE_ENTRIES + 1);
    QVERIFY(!PeerDecoders::DecodeSharedFileList(overTable.constData(), size_t(overTable.size()), share));
}

QTEST_MAIN(TestPeerDecoders)
#include "test_peer_decoders.moc"
