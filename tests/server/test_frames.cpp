// Framing and scrambling of message connections.

#include "FrameCodec.h"
#include "MemStream.h"
#include "ProtocolCodes.h"

#include <QBuffer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace
{
QByteArray U32(quint32 i_value)
{
    QByteArray b(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(i_value, b.data());
    return b;
}

// A body of code + a string field, of varying length.
MemStream Body(quint32 i_code, int i_fill)
{
    MemStream body;
    body.WriteUInt32(i_code);
    body.WriteString(std::string(size_t(i_fill), char('a' + i_fill % 26)));
    return body;
}

QByteArray Bytes(const MemStream& i_stream)
{
    return QByteArray(i_stream.Data(), qsizetype(i_stream.Size()));
}

// Feeds the wire bytes in chunks of the given sizes (cycled) and collects
// every frame as soon as it is complete.
QList<QByteArray> DecodeInChunks(FrameDecoder& i_decoder, const QByteArray& i_wire,
                                 const QList<int>& i_chunks)
{
    QList<QByteArray> frames;
    int offset = 0;
    int chunk = 0;
    while (offset < i_wire.size())
    {
        const int size = qMin(i_chunks[chunk++ % i_chunks.size()], int(i_wire.size()) - offset);
        i_decoder.Feed(i_wire.constData() + offset, size_t(size));
        offset += size;
        FrameView frame;
        while (i_decoder.Next(frame) == FrameDecoder::Ready)
            frames << QByteArray(frame.mp_data, frame.m_size);
    }
    return frames;
}
}

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void encodeLayout();
    void scramblingTestVectors();
    void decodeInAnyChunking_data();
    void decodeInAnyChunking();
    void badLengthsAreLastingErrors_data();
    void badLengthsAreLastingErrors();
    void lengthAtTheLimitIsAccepted();
    void exactlyOneFrameFromBuffer();
    void exactlyOneFrameFromDevice_data();
    void exactlyOneFrameFromDevice();
    void exactlyOneFrameFromSocket();
};

void TestFrames::encodeLayout()
{
    const MemStream body = Body(SM_LOGIN, 3);
    QCOMPARE(FrameCodec::Encode(body), U32(quint32(body.Size())) + Bytes(body));

    // Scrambled with a random key: the first four bytes are the key and
    // descrambling gives back the plain frame.
    const QByteArray wire = FrameCodec::EncodeScrambled(body);
    QByteArray plain = wire.mid(4);
    FrameCodec::ApplyKeystream(plain.data(), size_t(plain.size()), qFromLittleEndian<quint32>(wire.constData()));
    QCOMPARE(plain, FrameCodec::Encode(body));
}

void TestFrames::scramblingTestVectors()
{
    const quint32 key = 0x01020304;
    const QByteArray frame1 = QByteArray::fromHex("0400000004000000");
    const QByteArray wire1 = QByteArray::fromHex("040302010003020197b22062");
    const QByteArray frame2 = QByteArray::fromHex("080000000400000000000000");
    const QByteArray wire2 = QByteArray::fromHex("040302010c03020197b22062d69699af");

    QCOMPARE(FrameCodec::Scramble(frame1.constData(), size_t(frame1.size()), key), wire1);
    QCOMPARE(FrameCodec::Scramble(frame2.constData(), size_t(frame2.size()), key), wire2);
    const QByteArray body2 = frame2.mid(4);
    QCOMPARE(FrameCodec::EncodeScrambled(body2.constData(), size_t(body2.size()), key), wire2);

    FrameDecoder decoder(MAX_PEER_FRAME, true);
    decoder.Feed(wire1 + wire2);
    FrameView frame;
    QCOMPARE(decoder.Next(frame), FrameDecoder::Ready);
    QCOMPARE(QByteArray(frame.mp_data, frame.m_size), frame1.mid(4));
    QCOMPARE(decoder.Next(frame), FrameDecoder::Ready);
    QCOMPARE(QByteArray(frame.mp_data, frame.m_size), body2);
    QCOMPARE(decoder.Next(frame), FrameDecoder::NeedMore);
}

void TestFrames::decodeInAnyChunking_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<QList<int>>("chunks");
    for (bool scrambled : {false, true})
    {
        const char* mode = scrambled ? "scrambled" : "plain";
        QTest::addRow("%s byte by byte", mode) << scrambled << QList<int>{1};
        QTest::addRow("%s odd chunks", mode) << scrambled << QList<int>{3, 7, 2, 11, 5, 13};
        QTest::addRow("%s all at once", mode) << scrambled << QList<int>{1 << 20};
    }
}

void TestFrames::decodeInAnyChunking()
{
    QFETCH(bool, scrambled);
    QFETCH(QList<int>, chunks);
    QList<QByteArray> bodies;
    QByteArray wire;
    // Lengths around the 4-byte keystream words, and the bare code.
    for (int fill : {0, 1, 2, 3, 4, 5, 17, 300, 4096})
    {
        const MemStream body = Body(1000 + quint32(fill), fill);
        bodies << Bytes(body);
        wire += scrambled ? FrameCodec::EncodeScrambled(body) : FrameCodec::Encode(body);
    }
    MemStream codeOnly;
    codeOnly.WriteUInt32(PM_GET_SHARED_FILE_LIST);
    bodies << Bytes(codeOnly);
    wire += scrambled ? FrameCodec::EncodeScrambled(codeOnly) : FrameCodec::Encode(codeOnly);

    FrameDecoder decoder(MAX_PEER_FRAME, scrambled);
    QCOMPARE(DecodeInChunks(decoder, wire, chunks), bodies);
    QVERIFY(!decoder.HasError());
    QCOMPARE(decoder.Buffered(), size_t(0));
}

void TestFrames::badLengthsAreLastingErrors_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::addColumn<quint32>("length");
    QTest::addColumn<QString>("text");
    for (bool scrambled : {false, true})
    {
        const char* mode = scrambled ? "scrambled" : "plain";
        QTest::addRow("%s 2 GiB claim", mode) << scrambled << 0x80000000u
                                              << "frame length 2147483648 over the limit of 16777216";
        QTest::addRow("%s max claim", mode) << scrambled << 0xffffffffu
                                            << "frame length 4294967295 over the limit of 16777216";
        QTest::addRow("%s one over", mode) << scrambled << (MAX_SERVER_FRAME + 1)
                                           << "frame length 16777217 over the limit of 16777216";
        QTest::addRow("%s zero", mode) << scrambled << 0u << "frame length 0 below the minimum of 4";
        QTest::addRow("%s three", mode) << scrambled << 3u << "frame length 3 below the minimum of 4";
    }
}

void TestFrames::badLengthsAreLastingErrors()
{
    QFETCH(bool, scrambled);
    QFETCH(quint32, length);
    QFETCH(QString, text);
    // Only the header arrives: the error shows without waiting for the body.
    const QByteArray header = U32(length);
    const QByteArray wire =
        scrambled ? FrameCodec::Scramble(header.constData(), 4, 0xdeadbeef) : header;

    FrameDecoder decoder(MAX_SERVER_FRAME, scrambled);
    FrameView frame;
    decoder.Feed(wire.constData(), size_t(wire.size()) - 1);
    QCOMPARE(decoder.Next(frame), FrameDecoder::NeedMore);
    decoder.Feed(wire.constData() + wire.size() - 1, 1);
    QCOMPARE(decoder.Next(frame), FrameDecoder::Error);
    QVERIFY(decoder.HasError());
    QCOMPARE(QString::fromLatin1(decoder.ErrorText().c_str()), text);

    // Valid frames after it change nothing.
    decoder.Feed(FrameCodec::Encode(Body(SM_LOGIN, 1)));
    QCOMPARE(decoder.Next(frame), FrameDecoder::Error);
}

void TestFrames::lengthAtTheLimitIsAccepted()
{
    FrameDecoder decoder(16);
    FrameView frame;
    const QByteArray atLimit = U32(16) + QByteArray(16, 'x');
    decoder.Feed(atLimit);
    QCOMPARE(decoder.Next(frame), FrameDecoder::Ready);
    QCOMPARE(frame.m_size, 16u);
    decoder.Feed(U32(17));
    QCOMPARE(decoder.Next(frame), FrameDecoder::Error);

    FrameDecoder minimal(16);
    minimal.Feed(U32(4) + U32(PM_GET_SHARED_FILE_LIST));
    QCOMPARE(minimal.Next(frame), FrameDecoder::Ready);
    QCOMPARE(qFromLittleEndian<quint32>(frame.mp_data), quint32(PM_GET_SHARED_FILE_LIST));
}

void TestFrames::exactlyOneFrameFromBuffer()
{
    // A scrambled first frame followed by raw, unscrambled transfer bytes.
    MemStream init;
    init.WriteUInt32(PM_PIERCE_FIREWALL);
    init.WriteUInt32(77);
    const QByteArray raw = U32(12345) + QByteArray("file bytes");
    FrameDecoder decoder(MAX_PEER_FRAME, true);
    decoder.Feed(FrameCodec::EncodeScrambled(init) + raw);
    FrameView frame;
    QCOMPARE(decoder.Next(frame), FrameDecoder::Ready);
    QCOMPARE(QByteArray(frame.mp_data, frame.m_size), Bytes(init));
    QCOMPARE(decoder.TakeBuffered(), raw);
    QCOMPARE(decoder.Buffered(), size_t(0));
}

void TestFrames::exactlyOneFrameFromDevice_data()
{
    QTest::addColumn<bool>("scrambled");
    QTest::newRow("plain") << false;
    QTest::newRow("scrambled") << true;
}

void TestFrames::exactlyOneFrameFromDevice()
{
    QFETCH(bool, scrambled);
    const MemStream first = Body(PM_PEER_INIT, 9);
    const QByteArray frameBytes = scrambled ? FrameCodec::EncodeScrambled(first) : FrameCodec::Encode(first);
    const QByteArray raw = U32(99) + QByteArray(1000, 'r');
    QByteArray all = frameBytes + raw;
    QBuffer device(&all);
    QVERIFY(device.open(QIODevice::ReadOnly));

    FrameDecoder decoder(MAX_PEER_FRAME, scrambled);
    QCOMPARE(decoder.ReadFrom(device, true), qint64(frameBytes.size()));
    QCOMPARE(device.pos(), qint64(frameBytes.size()));
    // A complete frame is buffered: nothing more is read.
    QCOMPARE(decoder.ReadFrom(device, true), qint64(0));
    FrameView frame;
    QCOMPARE(decoder.Next(frame), FrameDecoder::Ready);
    QCOMPARE(QByteArray(frame.mp_data, frame.m_size), Bytes(first));
    QCOMPARE(device.readAll(), raw);

    // Without the bound everything available is taken.
    device.seek(0);
    FrameDecoder greedy(MAX_PEER_FRAME, scrambled);
    QCOMPARE(greedy.ReadFrom(device), qint64(all.size()));
    QCOMPARE(greedy.Next(frame), FrameDecoder::Ready);
    QCOMPARE(greedy.TakeBuffered(), raw);
}

void TestFrames::exactlyOneFrameFromSocket()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    QVERIFY(client.waitForConnected(5000));

    MemStream init;
    init.WriteUInt32(PM_PEER_INIT);
    init.WriteString("someone");
    init.WriteString("F");
    init.WriteUInt32(0);
    const QByteArray frameBytes = FrameCodec::EncodeScrambled(init);
    const QByteArray raw = U32(4242) + QByteArray(5000, 'z');
    // Sent in one write so that frame and raw bytes arrive together.
    client.write(frameBytes + raw);
    QVERIFY(client.waitForBytesWritten(5000));

    FrameDecoder decoder(MAX_PEER_FRAME, true);
    FrameView frame;
    while (decoder.Next(frame) == FrameDecoder::NeedMore)
    {
        if (accepted->bytesAvailable() == 0)
            QVERIFY(accepted->waitForReadyRead(5000));
        QVERIFY(decoder.ReadFrom(*accepted, true) >= 0);
    }
    QCOMPARE(QByteArray(frame.mp_data, frame.m_size), Bytes(init));
    QCOMPARE(decoder.Buffered(), size_t(0));

    QByteArray rest = accepted->readAll();
    while (rest.size() < raw.size() && accepted->waitForReadyRead(5000))
        rest += accepted->readAll();
    QCOMPARE(rest, raw);
}

QTEST_GUILESS_MAIN(TestFrames)
#include "test_frames.moc"
