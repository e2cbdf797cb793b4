// Streams, wire records and compressed bodies.

#include "Compression.h"
#include "FileInfo.h"
#include "MemStream.h"
#include "ProtocolCodes.h"
#include "TCPAddress.h"
#include "UserStats.h"

#include <QMetaType>
#include <QtTest>

#include <functional>

namespace
{
QByteArray Bytes(const MemStream& i_stream)
{
    return QByteArray(i_stream.Data(), qsizetype(i_stream.Size()));
}

// A uint32 in wire form.
QByteArray U32(quint32 i_value)
{
    MemStream s;
    s.WriteUInt32(i_value);
    return Bytes(s);
}
}

class TestCodec : public QObject
{
    Q_OBJECT

private slots:
    void primitivesRoundTripInWireOrder();
    void readsSeeWritesAcrossGrowth();
    void copyAndMoveKeepContentAndPosition();
    void shortReadFailsAndStaysFailed_data();
    void shortReadFailsAndStaysFailed();
    void lengthsAndCountsBoundedByBytesLeft();
    void userStatsAndRoomMember();
    void attributeMapLimits();
    void fileInfoRoundTripAndBytes();
    void fileInfoNotPresentLeavesRecord();
    void fileInfoRejectsBadFieldsUnchanged();
    void fileInfoOrderIsBytewiseThenSize();
    void tcpAddressConversions();
    void tcpAddressOnTheWire();
    void userStatsIsMetaType();
    void compressInflateRoundTrip();
    void inflateRejectsBadStreams();
    void inflateCap();
};

void TestCodec::primitivesRoundTripInWireOrder()
{
    MemStream out;
    const std::string binary("a\0\xff\x80z", 5);
    QVERIFY(out.WriteUInt32(0x01020304));
    QVERIFY(out.WriteInt32(-2));
    QVERIFY(out.WriteInt64(Q_INT64_C(0x0102030405060708)));
    QVERIFY(out.WriteByte(0xab));
    QVERIFY(out.WriteString(""));
    QVERIFY(out.WriteString(binary));
    QVERIFY(out.WriteBytes("xyz", 3));

    QByteArray expected;
    expected += QByteArray::fromHex("04030201");
    expected += QByteArray::fromHex("feffffff");
    expected += QByteArray::fromHex("0807060504030201");
    expected += QByteArray::fromHex("ab");
    expected += QByteArray::fromHex("00000000");
    expected += QByteArray::fromHex("05000000") + QByteArray(binary.data(), 5);
    expected += "xyz";
    QCOMPARE(Bytes(out), expected);

    // Extremes, read back from a separate stream over the same bytes.
    MemStream ext;
    ext.WriteUInt32(0xffffffffu);
    ext.WriteInt32(std::numeric_limits<qint32>::min());
    ext.WriteInt64(std::numeric_limits<qint64>::min());
    ext.WriteInt64(std::numeric_limits<qint64>::max());
    InputStream in(ext.Data(), ext.Size());
    quint32 u = 0;
    qint32 i = 0;
    qint64 lo = 0, hi = 0;
    in.ReadUInt32(u);
    in.ReadInt32(i);
    in.ReadInt64(lo);
    in.ReadInt64(hi);
    QVERIFY(in.Ok());
    QCOMPARE(u, 0xffffffffu);
    QCOMPARE(i, std::numeric_limits<qint32>::min());
    QCOMPARE(lo, std::numeric_limits<qint64>::min());
    QCOMPARE(hi, std::numeric_limits<qint64>::max());
    QCOMPARE(in.Remaining(), size_t(0));

    quint32 a = 0;
    qint32 b = 0;
    qint64 c = 0;
    quint8 d = 0;
    std::string e("junk"), f;
    char g[3];
    out.ReadUInt32(a);
    out.ReadInt32(b);
    out.ReadInt64(c);
    out.ReadByte(d);
    out.ReadString(e);
    out.ReadString(f);
    out.ReadBytes(g, 3);
    QVERIFY(out.Ok());
    QCOMPARE(a, 0x01020304u);
    QCOMPARE(b, -2);
    QCOMPARE(c, Q_INT64_C(0x0102030405060708));
    QCOMPARE(d, quint8(0xab));
    QVERIFY(e.empty());
    QVERIFY(f == binary);
    QCOMPARE(QByteArray(g, 3), QByteArray("xyz"));
    QCOMPARE(out.Remaining(), size_t(0));
}

void TestCodec::readsSeeWritesAcrossGrowth()
{
    MemStream s;
    // Interleave reads and writes across several buffer doublings.
    for (quint32 n = 0; n < 5000; ++n)
    {
        s.WriteUInt32(n);
        if (n % 3 == 0)
        {
            quint32 v = 0;
            QVERIFY(s.ReadUInt32(v));
            QCOMPARE(v, n / 3);
        }
    }
    QCOMPARE(s.Size(), size_t(5000 * 4));
    QCOMPARE(s.Remaining(), size_t((5000 - 1667) * 4));

    const std::string big(100000, 'q');
    s.Clear();
    QVERIFY(s.Ok());
    s.WriteString(big);
    std::string back;
    QVERIFY(s.ReadString(back));
    QVERIFY(back == big);

    MemStream fromBytes("\x07\x00\x00\x00", 4);
    quint32 seven = 0;
    QVERIFY(fromBytes.ReadUInt32(seven));
    QCOMPARE(seven, 7u);
}

void TestCodec::copyAndMoveKeepContentAndPosition()
{
    MemStream s;
    s.WriteUInt32(1);
    s.WriteUInt32(2);
    quint32 v = 0;
    s.ReadUInt32(v);

    MemStream copy(s);
    MemStream moved(std::move(copy));
    QCOMPARE(Bytes(moved), Bytes(s));
    QVERIFY(moved.ReadUInt32(v));
    QCOMPARE(v, 2u);
    // The copy owns its bytes: writing to it leaves the original alone.
    moved.WriteUInt32(3);
    QCOMPARE(s.Size(), size_t(8));

    MemStream assigned;
    assigned.WriteString("old");
    assigned = s;
    QCOMPARE(Bytes(assigned), Bytes(s));
    assigned = MemStream();
    QCOMPARE(assigned.Size(), size_t(0));
    QVERIFY(!assigned.ReadUInt32(v));
}

void TestCodec::shortReadFailsAndStaysFailed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("field");   // 0 uint32, 1 int32, 2 int64, 3 byte, 4 string, 5 bytes(4)
    QTest::newRow("uint32 of 3") << QByteArray(3, '\1') << 0;
    QTest::newRow("int32 of 0") << QByteArray() << 1;
    QTest::newRow("int64 of 7") << QByteArray(7, '\1') << 2;
    QTest::newRow("byte of 0") << QByteArray() << 3;
    QTest::newRow("string count cut") << QByteArray(2, '\0') << 4;
    QTest::newRow("string body cut") << (U32(4) + "abc") << 4;
    QTest::newRow("bytes cut") << QByteArray("abc") << 5;
}

void TestCodec::shortReadFailsAndStaysFailed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, field);
    InputStream in(bytes.constData(), size_t(bytes.size()));
    quint32 u = 9;
    qint32 i = 9;
    qint64 l = 9;
    quint8 b = 9;
    std::string s("keep");
    char raw[4];
    bool ok = true;
    switch (field)
    {
    case 0: ok = in.ReadUInt32(u); QCOMPARE(u, 0u); break;
    case 1: ok = in.ReadInt32(i); QCOMPARE(i, 0); break;
    case 2: ok = in.ReadInt64(l); QCOMPARE(l, qint64(0)); break;
    case 3: ok = in.ReadByte(b); QCOMPARE(b, quint8(0)); break;
    case 4: ok = in.ReadString(s); QVERIFY(s.empty()); break;
    case 5: ok = in.ReadBytes(raw, 4); break;
    }
    QVERIFY(!ok);
    QVERIFY(!in.Ok());
    // Once failed, even reads that would fit fail.
    QVERIFY(!in.ReadBytes(raw, 0));
    quint8 after = 1;
    QVERIFY(!in.ReadByte(after));
    QVERIFY(!in.Skip(0));
    QVERIFY(in.Failed());
}

void TestCodec::lengthsAndCountsBoundedByBytesLeft()
{
    // A 4 GiB string claim over 4 bytes: rejected before any allocation
    // (an attempt would abort under the address sanitizer).
    {
        const QByteArray bytes = U32(0xffffffffu) + "abcd";
        InputStream in(bytes.constData(), size_t(bytes.size()));
        std::string s;
        QVERIFY(!in.ReadString(s));
        QVERIFY(in.Failed());
    }
    // The caller's maximum: at the limit passes, one over fails.
    {
        const QByteArray bytes = U32(5) + "hello" + U32(6) + "hello!";
        InputStream in(bytes.constData(), size_t(bytes.size()));
        std::string s;
        QVERIFY(in.ReadString(s, 5));
        QCOMPARE(s, std::string("hello"));
        QVERIFY(!in.ReadString(s, 5));
    }
    // Counts: over the maximum, or more elements than bytes left.
    {
        const QByteArray bytes = U32(3) + QByteArray(24, '\0');
        quint32 n = 0;
        InputStream fits(bytes.constData(), size_t(bytes.size()));
        QVERIFY(fits.ReadCount(n, 3, 8));
        QCOMPARE(n, 3u);
        InputStream overMax(bytes.constData(), size_t(bytes.size()));
        QVERIFY(!overMax.ReadCount(n, 2, 8));
        QCOMPARE(n, 0u);
        InputStream overBytes(bytes.constData(), size_t(bytes.size()));
        QVERIFY(!overBytes.ReadCount(n, 1000, 9));
        QVERIFY(overBytes.Failed());
        const QByteArray huge = U32(0xffffffffu);
        InputStream hugeIn(huge.constData(), size_t(huge.size()));
        QVERIFY(!hugeIn.ReadCount(n, 0xffffffffu, 1));
    }
}

void TestCodec::userStatsAndRoomMember()
{
    const UserStats stats(123456, Q_INT64_C(9876543210), 42, -1);
    MemStream s;
    QVERIFY(stats.Write(s));
    QCOMPARE(Bytes(s), QByteArray::fromHex("40e20100" "ea16b04c02000000" "2a000000" "ffffffff"));
    UserStats back;
    QVERIFY(back.Read(s));
    QVERIFY(back == stats);

    UserInRoom member;
    member.m_user = "Ren\xe9";
    member.m_status = UserInRoom::Away;
    member.m_stats = stats;
    member.m_country = "NZ";
    MemStream m;
    QVERIFY(member.Write(m));
    QCOMPARE(m.Size(), USER_IN_ROOM_MIN_BYTES + 4 + 2);
    UserInRoom read;
    QVERIFY(read.Read(m));
    QCOMPARE(read.m_user, member.m_user);
    QCOMPARE(read.m_status, 1u);
    QVERIFY(read.m_stats == stats);
    QCOMPARE(read.m_country, std::string("NZ"));

    // Cut anywhere, the record fails.
    for (size_t cut = 0; cut < m.Size(); ++cut)
    {
        InputStream in(m.Data(), cut);
        UserInRoom partial;
        QVERIFY2(!partial.Read(in), qPrintable(QString::number(cut)));
    }
}

void TestCodec::attributeMapLimits()
{
    AttributeMap map;
    map.m_extension = "mp3";
    map.Add(ATTRIBUTE_BITRATE, 320);
    map.Add(ATTRIBUTE_VBR, 1);
    map.Add(ATTRIBUTE_BITRATE, -5);   // order and repeats are kept
    MemStream s;
    QVERIFY(map.Write(s));
    QCOMPARE(Bytes(s), U32(3) + "mp3" + U32(3) + U32(0) + U32(320) + U32(2) + U32(1) + U32(0) +
                           U32(quint32(-5)));
    AttributeMap back;
    QVERIFY(back.Read(s));
    QVERIFY(back == map);

    // 1024 pairs are accepted, 1025 are not.
    QByteArray atLimit = U32(0) + U32(MAX_ATTRIBUTE_PAIRS) + QByteArray(8 * MAX_ATTRIBUTE_PAIRS, '\1');
    InputStream okIn(atLimit.constData(), size_t(atLimit.size()));
    QVERIFY(back.Read(okIn));
    QCOMPARE(back.m_attributes.size(), size_t(MAX_ATTRIBUTE_PAIRS));
    QByteArray overLimit = U32(0) + U32(MAX_ATTRIBUTE_PAIRS + 1) +
                           QByteArray(8 * (MAX_ATTRIBUTE_PAIRS + 1), '\1');
    InputStream overIn(overLimit.constData(), size_t(overLimit.size()));
    QVERIFY(!back.Read(overIn));

    // A count that the bytes left cannot hold.
    QByteArray shortPairs = U32(0) + U32(2) + QByteArray(15, '\0');
    InputStream shortIn(shortPairs.constData(), size_t(shortPairs.size()));
    AttributeMap untouched = map;
    QVERIFY(!untouched.Read(shortIn));
    QVERIFY(untouched == map);
}

void TestCodec::fileInfoRoundTripAndBytes()
{
    FileInfo file("music\\song.mp3", Q_INT64_C(5000000000));
    file.m_attributes.m_extension = "mp3";
    file.m_attributes.Add(ATTRIBUTE_BITRATE, 192);
    MemStream s;
    QVERIFY(file.Write(s));
    QCOMPARE(Bytes(s), QByteArray("\x01", 1) + U32(14) + "music\\song.mp3" +
                           QByteArray::fromHex("00f2052a01000000") + U32(3) + "mp3" + U32(1) +
                           U32(0) + U32(192));
    FileInfo back;
    QVERIFY(back.Read(s));
    QCOMPARE(back.m_name, file.m_name);
    QCOMPARE(back.m_size, file.m_size);
    QVERIFY(back.m_attributes == file.m_attributes);
    QCOMPARE(s.Remaining(), size_t(0));
}

void TestCodec::fileInfoNotPresentLeavesRecord()
{
    // Present 0 carries nothing more: the next byte belongs to what follows.
    const QByteArray bytes = QByteArray("\x00", 1) + U32(77);
    InputStream in(bytes.constData(), size_t(bytes.size()));
    FileInfo file("kept", 12);
    QVERIFY(file.Read(in));
    QCOMPARE(file.m_name, std::string("kept"));
    QCOMPARE(file.m_size, qint64(12));
    quint32 next = 0;
    QVERIFY(in.ReadUInt32(next));
    QCOMPARE(next, 77u);
}

void TestCodec::fileInfoRejectsBadFieldsUnchanged()
{
    auto record = [](const QByteArray& i_name, qint64 i_size) {
        MemStream s;
        s.WriteByte(1);
        s.WriteString(i_name.toStdString());
        s.WriteInt64(i_size);
        s.WriteString("");
        s.WriteUInt32(0);
        return Bytes(s);
    };
    FileInfo file("original", 1);

    const QByteArray atLimit = record(QByteArray(MAX_FILE_NAME_LENGTH, 'n'), 5);
    InputStream okIn(atLimit.constData(), size_t(atLimit.size()));
    FileInfo longName;
    QVERIFY(longName.Read(okIn));
    QCOMPARE(longName.m_name.size(), size_t(MAX_FILE_NAME_LENGTH));

    const QByteArray overLimit = record(QByteArray(MAX_FILE_NAME_LENGTH + 1, 'n'), 5);
    const QByteArray negative = record("a", -1);
    QByteArray cutAttributes = record("a", 1);
    cutAttributes.chop(1);
    for (const QByteArray& bad : {overLimit, negative, cutAttributes})
    {
        InputStream in(bad.constData(), size_t(bad.size()));
        QVERIFY(!file.Read(in));
        QVERIFY(in.Failed());
        QCOMPARE(file.m_name, std::string("original"));
        QCOMPARE(file.m_size, qint64(1));
    }
}

void TestCodec::fileInfoOrderIsBytewiseThenSize()
{
    std::set<FileInfo> files;
    files.insert(FileInfo("b", 2));
    files.insert(FileInfo("\xe9t\xe9", 1));   // high bytes sort after ASCII
    files.insert(FileInfo("b", 1));
    files.insert(FileInfo("B", 9));
    files.insert(FileInfo("b", 2));           // same name and size: held once
    QStringList order;
    for (const FileInfo& f : files)
        order << QString::fromLatin1(f.m_name.c_str()) + QString::number(f.m_size);
    QCOMPARE(order, QStringList({"B9", "b1", "b2", QString::fromLatin1("\xe9t\xe9") + "1"}));

    FileInfoMap share;
    share["a\\b"].insert(FileInfo("x", 1));
    share["A"];
    QCOMPARE(share.begin()->first, std::string("A"));
}

void TestCodec::tcpAddressConversions()
{
    quint32 ip = 0;
    QVERIFY(TCPAddress::ParseDottedIp("192.168.1.20", ip));
    QCOMPARE(ip, (192u << 24) | (168u << 16) | (1u << 8) | 20u);
    const TCPAddress address(ip, 2235);
    QCOMPARE(address.GetDottedIp(), QString("192.168.1.20"));
    QCOMPARE(address.ToString(), QString("192.168.1.20:2235"));
    QCOMPARE(address.GetHostAddress(), QHostAddress("192.168.1.20"));
    QVERIFY(address.IsValid());
    QVERIFY(!TCPAddress(ip, 0).IsValid());
    QVERIFY(!TCPAddress(0, 1).IsValid());

    for (const char* bad : {"1.2.3", "1.2.3.4.5", "256.1.1.1", " 1.2.3.4", "+1.2.3.4", "1..3.4",
                            "1.2.3.0x4", "", "0001.2.3.4"})
    {
        quint32 untouched = 7;
        QVERIFY2(!TCPAddress::ParseDottedIp(bad, untouched), bad);
        QCOMPARE(untouched, 7u);
    }

    QCOMPARE(TCPAddress::FromHostAddress(QHostAddress("10.0.0.1"), 80), TCPAddress(0x0a000001, 80));
    QCOMPARE(TCPAddress::FromHostAddress(QHostAddress("::ffff:10.0.0.1"), 80).m_ip, 0x0a000001u);
    QCOMPARE(TCPAddress::FromHostAddress(QHostAddress("2001:db8::1"), 80).m_ip, 0u);
}

void TestCodec::tcpAddressOnTheWire()
{
    MemStream s;
    QVERIFY(TCPAddress(0x01020304, 8973).Write(s));
    QCOMPARE(Bytes(s), QByteArray::fromHex("04030201") + U32(8973));
    TCPAddress back;
    QVERIFY(back.Read(s));
    QCOMPARE(back, TCPAddress(0x01020304, 8973));

    const QByteArray badPort = U32(1) + U32(65536);
    InputStream in(badPort.constData(), size_t(badPort.size()));
    QVERIFY(!back.Read(in));
    QCOMPARE(back, TCPAddress(0x01020304, 8973));
}

void TestCodec::userStatsIsMetaType()
{
    const QMetaType type = QMetaType::fromName("UserStats");
    QVERIFY(type.isValid());
    const QVariant v = QVariant::fromValue(UserStats(1, 2, 3, 4));
    QVERIFY(v.value<UserStats>() == UserStats(1, 2, 3, 4));
}

void TestCodec::compressInflateRoundTrip()
{
    // A share-list-like body with a few folders and files.
    MemStream body;
    body.WriteUInt32(3);
    for (int folder = 0; folder < 3; ++folder)
    {
        body.WriteString("music\\folder " + std::to_string(folder));
        body.WriteUInt32(50);
        for (int n = 0; n < 50; ++n)
            FileInfo("track " + std::to_string(n) + ".mp3", 1000 + n).Write(body);
    }
    body.WriteUInt32(0);

    const MemStream message = Compression::CompressMessage(PM_SHARED_FILE_LIST, body);
    QCOMPARE(Bytes(message).left(4), U32(PM_SHARED_FILE_LIST));
    QVERIFY(message.Size() < body.Size());

    std::string inflated;
    QVERIFY(Compression::Inflate(message.Data() + 4, message.Size() - 4, inflated));
    QCOMPARE(QByteArray::fromStdString(inflated), Bytes(body));

    // Bytes after the end of the stream are ignored.
    std::string compressed;
    QVERIFY(Compression::Compress(body.Data(), body.Size(), compressed));
    compressed += "trailing";
    QVERIFY(Compression::Inflate(compressed.data(), compressed.size(), inflated));
    QCOMPARE(inflated.size(), body.Size());

    // An empty body still makes a valid stream.
    QVERIFY(Compression::Compress("", 0, compressed));
    QVERIFY(Compression::Inflate(compressed.data(), compressed.size(), inflated));
    QVERIFY(inflated.empty());

    // Every level and body size inflates back, the window sized to the body
    // or not; a failed compression gives no message at all.
    for (const int level : {1, 2, 6, 9})
        for (const size_t size : {size_t(300), size_t(5000), size_t(70000)})
        {
            std::string text;
            for (size_t k = 0; text.size() < size; ++k)
                text += "folder\\track " + std::to_string(k * 7919 % 1000) + ".mp3 ";
            QVERIFY(Compression::Compress(text.data(), text.size(), compressed, level));
            QVERIFY(Compression::Inflate(compressed.data(), compressed.size(), inflated));
            QVERIFY(inflated == text);
        }
    QVERIFY(!Compression::Compress(body.Data(), body.Size(), compressed, 42));
    QCOMPARE(Compression::CompressMessage(PM_SHARED_FILE_LIST, body, 42).Size(), size_t(0));
}

void TestCodec::inflateRejectsBadStreams()
{
    std::string compressed;
    const std::string text(20000, 'x');
    QVERIFY(Compression::Compress(text.data(), text.size(), compressed));

    std::string out("stale");
    // Truncated at several points, including mid-header and before the checksum.
    for (size_t keep : {size_t(0), size_t(1), size_t(2), compressed.size() / 2, compressed.size() - 1})
    {
        QVERIFY2(!Compression::Inflate(compressed.data(), keep, out), qPrintable(QString::number(keep)));
        QVERIFY(out.empty());
    }
    const QByteArray garbage("this is not a zlib stream at all");
    QVERIFY(!Compression::Inflate(garbage.constData(), size_t(garbage.size()), out));

    // A corrupted body fails its checksum or its decoding.
    std::string corrupted = compressed;
    corrupted[corrupted.size() / 2] ^= 0x5a;
    QVERIFY(!Compression::Inflate(corrupted.data(), corrupted.size(), out));
}

void TestCodec::inflateCap()
{
    // A small bomb: 4 MiB of zeros compresses to a few KiB.
    const std::string zeros(4 * 1024 * 1024, '\0');
    std::string bomb;
    QVERIFY(Compression::Compress(zeros.data(), zeros.size(), bomb));
    QVERIFY(bomb.size() < 16 * 1024);

    std::string out;
    QVERIFY(!Compression::Inflate(bomb.data(), bomb.size(), out, 1024 * 1024));
    QVERIFY(out.empty());
    QVERIFY(!Compression::Inflate(bomb.data(), bomb.size(), out, zeros.size() - 1));
    QVERIFY(Compression::Inflate(bomb.data(), bomb.size(), out, zeros.size()));
    QCOMPARE(out.size(), zeros.size());
}

QTEST_GUILESS_MAIN(TestCodec)
#include "test_codec.moc"
