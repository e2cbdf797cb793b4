// The download and upload threads over real loopback sockets and real
// files: the handshake bytes, chunking and progress, refused offsets, early
// exit, a peer that drops, a full disk, and the shared rate limiter.

#include "TransferThreadSupport.h"
#include "UploadRateLimiter.h"

#include <QTemporaryDir>
#include <QTimer>

#include <limits>
#include <tuple>

using namespace threadtest;

namespace
{
// A file of random bytes being uploaded under a limiter to a loopback peer
// that has read the request number; Ask() sends it the offset 0. Members
// go in reverse order: the recorder stops the thread before the sockets go.
struct LimitedUpload
{
    LimitedUpload(const QString& i_path, qint64 i_size, UploadRateLimiter* ip_limiter) : file(i_path)
    {
        WriteFile(i_path, RandomBytes(i_size));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot open the shared file");
        auto [upSocket, downSocket] = LoopbackPair();
        up.reset(upSocket);
        down.reset(downSocket);
        thread = std::make_unique<UploadThread>(upSocket, &file, 1, ip_limiter);
        recorder = std::make_unique<Recorder>(thread.get());
        HandOver(upSocket, thread.get());
        thread->start();
        if (ReadExactly(downSocket, 4).size() != 4)
            qFatal("no request number from the upload");
    }
    void Ask() { WriteNow(down.get(), I64(0)); }

    QFile file;
    std::unique_ptr<QTcpSocket> up;
    std::unique_ptr<QTcpSocket> down;
    std::unique_ptr<UploadThread> thread;
    std::unique_ptr<Recorder> recorder;
};

// An upload of a large sparse file under a limiter to a loopback peer, with
// small socket buffers so that a peer that reads little soon holds its
// upload back; the peer has asked from offset 0 and reads with Read().
struct Lane
{
    Lane(const QString& i_path, int i_transferReq, UploadRateLimiter* ip_limiter) : file(i_path)
    {
        {
            QFile f(i_path);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || !f.resize(64 * 1024 * 1024))
                qFatal("cannot lay out the shared file");
        }
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot open the shared file");
        std::tie(up, down) = LoopbackPair();
        up->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 65536);
        down->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 131072);
        down->setReadBufferSize(8192);
        thread = std::make_unique<UploadThread>(up, &file, i_transferReq, ip_limiter);
        recorder = std::make_unique<Recorder>(thread.get());
        HandOver(up, thread.get());
        thread->start();
        if (ReadExactly(down, 4).size() != 4)
            qFatal("no request number from the upload");
        WriteNow(down, I64(0));
    }
    ~Lane()
    {
        recorder.reset();
        thread.reset();
        delete up;
        delete down;
    }
    // Reads up to i_most bytes of what has arrived. A socket whose read
    // buffer was left full does not tell of new data by itself, hence the
    // zero wait.
    qint64 Read(qint64 i_most = std::numeric_limits<qint64>::max())
    {
        qint64 got = 0;
        while (got < i_most && (down->bytesAvailable() > 0 || down->waitForReadyRead(0)))
            got += down->read(qMin<qint64>(i_most - got, 65536)).size();
        return got;
    }
    // The offset of the last progress signal.
    qint64 Sent() const { return recorder->m_progress.empty() ? 0 : recorder->m_progress.back().offset; }

    QFile file;
    QTcpSocket* up = nullptr;
    QTcpSocket* down = nullptr;
    std::unique_ptr<UploadThread> thread;
    std::unique_ptr<Recorder> recorder;
    bool reading = true;
};
} // namespace

class TestTransferThreads : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString Path(const QString& i_name) const { return m_dir.filePath(i_name); }

private slots:
    void handshakeAndData_data();
    void handshakeAndData();
    void refusedOffsets_data();
    void refusedOffsets();
    void exitWithSilentPeer();
    void droppedUploaderLeavesPrefix();
    void fullDiskIsLocalError();
    void limiterArithmetic();
    void limitedUploadKeepsRate();
    void limitSwitchedOnMidUpload();
    void manyUploadsShareTheLimit();
    void slowPeerLeavesItsShare();
    void raisedLimitEndsSleep();
};

void TestTransferThreads::handshakeAndData_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<bool>("split");
    QTest::addColumn<int>("chunks");
    QTest::newRow("1 byte") << qint64(1) << qint64(0) << false << 1;
    QTest::newRow("8192 bytes") << qint64(8192) << qint64(0) << false << 1;
    QTest::newRow("8193 bytes, offset in 3+5") << qint64(8193) << qint64(0) << true << 2;
    QTest::newRow("resume at 5000 of 20000, offset in 3+5") << qint64(20000) << qint64(5000) << true << 2;
    QTest::newRow("300000 bytes") << qint64(300000) << qint64(0) << false << 37;
}

// The uploader sends the request number, reads the offset (whole or in two
// pieces) and sends the rest; the downloader appends exactly that.
void TestTransferThreads::handshakeAndData()
{
    QFETCH(qint64, size);
    QFETCH(qint64, offset);
    QFETCH(bool, split);
    QFETCH(int, chunks);

    const QByteArray content = RandomBytes(size);
    WriteFile(Path("shared"), content);
    WriteFile(Path("partial"), content.left(int(offset)));
    QFile shared(Path("shared"));
    QVERIFY(shared.open(QIODevice::ReadOnly));
    QFile partial(Path("partial"));
    QVERIFY(partial.open(QIODevice::WriteOnly | QIODevice::Append));
    QCOMPARE(partial.size(), offset);

    auto [up, down] = LoopbackPair();
    UploadThread uploader(up, &shared, 0x01020304);
    Recorder upRec(&uploader);
    HandOver(up, &uploader);
    uploader.start();

    // The downloader's side: the request number, then the offset.
    QCOMPARE(ReadExactly(down, 4), QByteArray("\x04\x03\x02\x01", 4));
    const QByteArray offsetBytes = I64(offset);
    if (split)
    {
        WriteNow(down, offsetBytes.left(3));
        QTest::qWait(100);
        WriteNow(down, offsetBytes.mid(3));
    }
    else
    {
        WriteNow(down, offsetBytes);
    }
    DownloadThread downloader(down, &partial, size, offset);
    Recorder downRec(&downloader);
    HandOver(down, &downloader);
    downloader.start();

    QVERIFY(downRec.WaitFinal());
    QVERIFY(upRec.WaitFinal());
    QVERIFY(uploader.wait(g_threadWaitMs));
    QVERIFY(downloader.wait(g_threadWaitMs));
    QCOMPARE(downRec.m_complete, 1);
    QCOMPARE(upRec.m_complete, 1);
    QCOMPARE(downRec.m_error + upRec.m_error, 0);
    QCOMPARE(int(downRec.m_progress.size()), chunks);
    QCOMPARE(int(upRec.m_progress.size()), chunks);
    QCOMPARE(downRec.m_progress.back().offset, size);
    QCOMPARE(upRec.m_progress.back().offset, size);
    QCOMPARE(downloader.LocalError(), QString());
    // The sockets came back to this thread; the partial file is closed.
    QCOMPARE(up->thread(), QThread::currentThread());
    QCOMPARE(down->thread(), QThread::currentThread());
    QVERIFY(!partial.isOpen());
    QVERIFY(shared.isOpen());
    QCOMPARE(ReadFile(Path("partial")), content);
    delete up;
    delete down;
}

void TestTransferThreads::refusedOffsets_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("offset");
    QTest::newRow("offset at the end") << qint64(100) << qint64(100);
    QTest::newRow("offset -1") << qint64(100) << qint64(-1);
    QTest::newRow("offset beyond the end") << qint64(100) << qint64(101);
    QTest::newRow("file of 0 bytes") << qint64(0) << qint64(0);
}

void TestTransferThreads::refusedOffsets()
{
    QFETCH(qint64, size);
    QFETCH(qint64, offset);
    WriteFile(Path("shared"), RandomBytes(size));
    QFile shared(Path("shared"));
    QVERIFY(shared.open(QIODevice::ReadOnly));

    auto [up, down] = LoopbackPair();
    UploadThread uploader(up, &shared, 9);
    Recorder rec(&uploader);
    HandOver(up, &uploader);
    uploader.start();
    QCOMPARE(ReadExactly(down, 4).size(), 4);
    WriteNow(down, I64(offset));
    QVERIFY(rec.WaitFinal());
    QVERIFY(uploader.wait(g_threadWaitMs));
    QCOMPARE(rec.m_error, 1);
    QCOMPARE(rec.m_complete, 0);
    QVERIFY(rec.m_progress.empty());
    // Nothing of the file follows the request number.
    down->waitForReadyRead(200);
    QCOMPARE(down->bytesAvailable(), qint64(0));
    delete up;
    delete down;
}

// A peer that sends nothing: both threads notice the exit request long
// before their 30-second wait is over, the upload during its handshake.
void TestTransferThreads::exitWithSilentPeer()
{
    WriteFile(Path("shared"), RandomBytes(1000));
    QFile shared(Path("shared"));
    QVERIFY(shared.open(QIODevice::ReadOnly));
    QFile partial(Path("silent"));
    QVERIFY(partial.open(QIODevice::WriteOnly | QIODevice::Append));

    auto [a, b] = LoopbackPair();
    auto [c, d] = LoopbackPair();
    DownloadThread downloader(a, &partial, 1000, 0);
    UploadThread uploader(c, &shared, 1);
    Recorder downRec(&downloader);
    Recorder upRec(&uploader);
    HandOver(a, &downloader);
    HandOver(c, &uploader);
    downloader.start();
    uploader.start();
    QTest::qWait(600);
    QVERIFY(downloader.isRunning());
    QVERIFY(uploader.isRunning());

    QElapsedTimer t;
    t.start();
    downloader.SignalExit();
    uploader.SignalExit();
    QVERIFY(downloader.wait(g_threadWaitMs));
    QVERIFY(uploader.wait(g_threadWaitMs));
    const qint64 took = t.elapsed();
    qDebug() << "both threads ended" << took << "ms after the exit request";
    // Expected within half a second; generous for a loaded machine.
    QVERIFY2(took < 2000, qPrintable(QString::number(took)));
    QVERIFY(downRec.WaitFinal());
    QVERIFY(upRec.WaitFinal());
    QCOMPARE(downRec.m_error, 1);
    QCOMPARE(upRec.m_error, 1);
    QCOMPARE(downloader.LocalError(), QString());
    for (QTcpSocket* s : {a, b, c, d})
        delete s;
}

// An uploader that drops halfway: an error, and the partial file holds
// exactly the bytes that arrived, in order.
void TestTransferThreads::droppedUploaderLeavesPrefix()
{
    const QByteArray content = RandomBytes(100000);
    QFile partial(Path("dropped"));
    QVERIFY(partial.open(QIODevice::WriteOnly | QIODevice::Truncate));
    auto [peer, down] = LoopbackPair();
    DownloadThread downloader(down, &partial, content.size(), 0);
    Recorder rec(&downloader);
    HandOver(down, &downloader);
    downloader.start();
    WriteNow(peer, content.left(50000));
    peer->disconnectFromHost();
    QVERIFY(rec.WaitFinal());
    QVERIFY(downloader.wait(g_threadWaitMs));
    QCOMPARE(rec.m_error, 1);
    QCOMPARE(downloader.LocalError(), QString());
    // Six whole chunks were written; the bytes of the seventh stay unwritten.
    QCOMPARE(ReadFile(Path("dropped")), content.left(6 * 8192));
    delete peer;
    delete down;
}

void TestTransferThreads::fullDiskIsLocalError()
{
    QFile full("/dev/full");
    QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Append));
    auto [peer, down] = LoopbackPair();
    const QByteArray content = RandomBytes(40000);
    DownloadThread downloader(down, &full, content.size(), 0);
    Recorder rec(&downloader);
    HandOver(down, &downloader);
    downloader.start();
    WriteNow(peer, content);
    QVERIFY(rec.WaitFinal());
    QVERIFY(downloader.wait(g_threadWaitMs));
    QCOMPARE(rec.m_error, 1);
    QCOMPARE(rec.m_complete, 0);
    QVERIFY(!downloader.LocalError().isEmpty());
    delete peer;
    delete down;
}

void TestTransferThreads::limiterArithmetic()
{
    UploadRateLimiter limiter;
    QCOMPARE(limiter.GetUploadSpeed(), 0);
    limiter.Credit(10000);
    limiter.Credit(-5);
    QCOMPARE(limiter.GetAllowance(), qint64(10000));
    // Without a limit nothing is charged and nobody waits.
    QCOMPARE(limiter.Pay(8192), qint64(0));
    QCOMPARE(limiter.GetAllowance(), qint64(10000));
    // Switching on empties the allowance; switching off keeps it.
    limiter.SetLimits(100, 33);
    QCOMPARE(limiter.GetUploadSpeed(), 100);
    QCOMPARE(limiter.GetPerUploadSpeed(), 33);
    QCOMPARE(limiter.GetAllowance(), qint64(0));
    // It holds at most what the total allows over the burst time.
    limiter.Credit(1000000);
    QCOMPARE(limiter.GetAllowance(), UploadRateLimiter::BytesAllowed(100, UploadRateLimiter::BURST_MS));
    limiter.ClearLimits();
    QCOMPARE(limiter.GetUploadSpeed(), 0);
    QCOMPARE(limiter.GetPerUploadSpeed(), 0);
    QCOMPARE(limiter.GetAllowance(), qint64(20480));
    // Payments beyond the allowance queue: at 1 KiB/s a chunk waits about
    // eight seconds, the next one paid meanwhile about sixteen. (Upper
    // bounds exact; the allowance fills a little while the test runs.)
    limiter.SetLimits(1, 1);
    const qint64 first = limiter.Pay(8192);
    const qint64 second = limiter.Pay(8192);
    QVERIFY2(first > 7000 && first <= 8000, qPrintable(QString::number(first)));
    QVERIFY2(second > 15000 && second <= 16000, qPrintable(QString::number(second)));

    QCOMPARE(UploadRateLimiter::BytesAllowed(64, 1000), qint64(65536));
    QCOMPARE(UploadRateLimiter::BytesAllowed(64, 128), qint64(8388));
    QCOMPARE(UploadRateLimiter::BytesAllowed(0, 1000), qint64(0));
    // A huge limit over a long pause stays a large positive number.
    QVERIFY(UploadRateLimiter::BytesAllowed(std::numeric_limits<int>::max(), qint64(1) << 40) > 0);
    QCOMPARE(UploadRateLimiter::MillisecondsFor(8192, 64), qint64(125));
    QCOMPARE(UploadRateLimiter::MillisecondsFor(8193, 64), qint64(126));
    QCOMPARE(UploadRateLimiter::MillisecondsFor(8192, 0), qint64(0));
}

// 1 MiB at 64 KiB/s: about 16 seconds, never faster.
void TestTransferThreads::limitedUploadKeepsRate()
{
    const qint64 size = 1024 * 1024;
    UploadRateLimiter limiter;
    limiter.SetLimits(64, 64);
    LimitedUpload upload(Path("limited"), size, &limiter);
    QElapsedTimer t;
    t.start();
    upload.Ask();
    QCOMPARE(ReadExactly(upload.down.get(), size, 60000).size(), int(size));
    const qint64 took = t.elapsed();
    upload.down->disconnectFromHost();
    QVERIFY(upload.recorder->WaitFinal(60000));
    QVERIFY(upload.thread->wait(g_threadWaitMs));
    QCOMPARE(upload.recorder->m_complete, 1);
    qDebug() << "1 MiB at 64 KiB/s took" << took << "ms";
    QVERIFY2(took >= 14400, qPrintable(QString::number(took)));
    // The upper bound allows for a loaded machine.
    QVERIFY2(took <= 21000, qPrintable(QString::number(took)));
}

// An upload runs without a limit, stalls on a peer that is not reading,
// then a limit of 64 KiB/s comes into force: the upload neither sleeps off
// the bytes it sent before nor spends the time it ran unlimited.
void TestTransferThreads::limitSwitchedOnMidUpload()
{
    const qint64 size = 64 * 1024 * 1024;
    {
        QFile f(Path("switch"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(f.resize(size));
    }
    QFile shared(Path("switch"));
    QVERIFY(shared.open(QIODevice::ReadOnly));
    UploadRateLimiter limiter;

    auto [up, down] = LoopbackPair();
    down->setReadBufferSize(64 * 1024);
    UploadThread uploader(up, &shared, 1, &limiter);
    Recorder rec(&uploader);
    HandOver(up, &uploader);
    uploader.start();
    QCOMPARE(ReadExactly(down, 4).size(), 4);
    WriteNow(down, I64(0));

    // Unlimited until the socket buffers are full and the upload waits.
    qint64 lastCount = -1;
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 10000)
    {
        QTest::qWait(300);
        if (qint64(rec.m_progress.size()) == lastCount)
            break;
        lastCount = qint64(rec.m_progress.size());
    }
    QVERIFY(!rec.m_progress.empty());
    QVERIFY(rec.m_progress.back().offset < size);
    // Long enough for unlimited time to show as a burst if it were credited.
    QTest::qWait(2000);

    limiter.SetLimits(64, 64);
    const qint64 switchedAt = rec.m_clock.elapsed();
    const size_t before = rec.m_progress.size();
    const qint64 startOffset = rec.m_progress.back().offset;
    // Drain everything the peer is sent from now on.
    QObject drain;
    connect(down, &QTcpSocket::readyRead, &drain, [socket = down] { socket->readAll(); });
    down->readAll();
    QTest::qWait(4000);
    const qint64 windowEnd = switchedAt + 4000;

    qint64 lastAt = switchedAt;
    qint64 maxGap = 0;
    qint64 offsetAtEnd = startOffset;
    for (size_t i = before; i < rec.m_progress.size() && rec.m_progress[i].atMs <= windowEnd; ++i)
    {
        maxGap = qMax(maxGap, rec.m_progress[i].atMs - lastAt);
        lastAt = rec.m_progress[i].atMs;
        offsetAtEnd = rec.m_progress[i].offset;
    }
    const qint64 sent = offsetAtEnd - startOffset;
    qDebug() << "after the switch: sent" << sent << "bytes in 4 s, longest gap" << maxGap << "ms";
    QVERIFY2(maxGap <= 1000, qPrintable(QString::number(maxGap)));
    // 64 KiB/s over 4 s, plus the chunk in flight at the switch and the
    // first one after it.
    QVERIFY2(sent <= 4 * 65536 + 3 * 8192, qPrintable(QString::number(sent)));
    QVERIFY2(sent >= 65536, qPrintable(QString::number(sent)));

    uploader.SignalExit();
    QVERIFY(uploader.wait(g_threadWaitMs));
    QVERIFY(rec.WaitFinal());
    QCOMPARE(rec.m_error, 1);
    delete up;
    delete down;
}

// Six uploads share a total limit of 3 MiB/s (512 KiB/s each) with small
// socket buffers, so that a peer that stops reading soon holds its upload.
// The total holds while all read; then four peers stop reading for four
// seconds and read again: the share their uploads did not use meanwhile
// must not come out afterwards as a burst above the total. Only upper
// bounds on what was sent are checked: a slow machine sends less.
void TestTransferThreads::manyUploadsShareTheLimit()
{
    const int uploads = 6;
    const int stalled = 4;
    const int total = 3072;
    const double bytesPerMs = total * 1024 / 1000.0;
    UploadRateLimiter limiter;
    limiter.SetLimits(total, total / uploads);

    std::vector<std::unique_ptr<Lane>> lanes;
    for (int i = 0; i < uploads; ++i)
        lanes.push_back(std::make_unique<Lane>(Path(QString("many%1").arg(i)), i + 1, &limiter));
    QTimer drain;
    connect(&drain, &QTimer::timeout, this, [&lanes] {
        for (auto& lane : lanes)
            if (lane->reading)
                lane->Read();
    });
    drain.start(5);
    // Bytes all uploads sent between two times of the recorders' clocks
    // (all started within moments of each other).
    auto sentBetween = [&](qint64 i_fromMs, qint64 i_toMs) {
        qint64 sent = 0;
        for (auto& lane : lanes)
        {
            qint64 atFrom = 0;
            qint64 atTo = 0;
            for (const Recorder::Progress& p : lane->recorder->m_progress)
            {
                if (p.atMs <= i_fromMs)
                    atFrom = p.offset;
                if (p.atMs <= i_toMs)
                    atTo = p.offset;
            }
            sent += atTo - atFrom;
        }
        return sent;
    };
    // A fifth over the limit (half a second of progress signals that
    // arrive late on a loaded machine), and two chunks in flight per upload
    // at each end of the window.
    auto most = [&](qint64 i_ms) { return qint64(bytesPerMs * double(i_ms) * 1.2) + 2 * 2 * uploads * 8192; };
    const QElapsedTimer& clock = lanes[0]->recorder->m_clock;

    QTest::qWait(1000);
    qint64 from = clock.elapsed();
    QTest::qWait(2500);
    qint64 to = clock.elapsed();
    qint64 sent = sentBetween(from, to);
    qDebug() << "all reading:" << sent << "bytes in" << (to - from) << "ms";
    QVERIFY2(sent <= most(to - from), qPrintable(QString::number(sent)));
    QVERIFY(sent > 0);

    for (int i = 0; i < stalled; ++i)
        lanes[size_t(i)]->reading = false;
    QTest::qWait(4000);
    for (int i = 0; i < stalled; ++i)
        lanes[size_t(i)]->reading = true;
    from = clock.elapsed();
    QTest::qWait(2500);
    to = clock.elapsed();
    sent = sentBetween(from, to);
    qDebug() << "after the stall:" << sent << "bytes in" << (to - from) << "ms";
    QVERIFY2(sent <= most(to - from), qPrintable(QString::number(sent)));

    drain.stop();
}

// Two uploads share a total limit of 1 MiB/s (512 KiB/s each), and one
// peer reads only 128 KiB/s: what that upload leaves goes to the other, so
// the fast one gets clearly more than its half and both together most of
// the limit. The bounds leave room for a loaded machine.
void TestTransferThreads::slowPeerLeavesItsShare()
{
    const int total = 1024;
    UploadRateLimiter limiter;
    limiter.SetLimits(total, total / 2);
    Lane slow(Path("slow"), 1, &limiter);
    Lane fast(Path("fast"), 2, &limiter);
    QElapsedTimer clock;
    clock.start();
    qint64 slowRead = 0;
    QTimer drain;
    connect(&drain, &QTimer::timeout, this, [&] {
        fast.Read();
        slowRead += slow.Read(128 * 1024 * clock.elapsed() / 1000 - slowRead);
    });
    drain.start(5);
    // By then the slow peer's socket buffers are full and hold its upload.
    QTest::qWait(2000);
    const qint64 slowFrom = slow.Sent();
    const qint64 fastFrom = fast.Sent();
    QElapsedTimer window;
    window.start();
    QTest::qWait(3000);
    const double limitBytes = total * 1024.0 * double(window.elapsed()) / 1000;
    const double slowShare = double(slow.Sent() - slowFrom) / limitBytes;
    const double fastShare = double(fast.Sent() - fastFrom) / limitBytes;
    drain.stop();
    qDebug() << "shares of the limit: slow" << slowShare << "fast" << fastShare;
    QVERIFY2(fastShare > 0.625, qPrintable(QString::number(fastShare)));
    QVERIFY2(slowShare + fastShare >= 0.75, qPrintable(QString::number(slowShare + fastShare)));
}

// At 1 KiB/s an upload sleeps about eight seconds after each chunk; a
// limit raised meanwhile takes effect in that sleep, not after it.
void TestTransferThreads::raisedLimitEndsSleep()
{
    const qint64 size = 64 * 1024;
    UploadRateLimiter limiter;
    limiter.SetLimits(1, 1);
    LimitedUpload upload(Path("raised"), size, &limiter);
    upload.Ask();
    QVERIFY(QTest::qWaitFor([&] { return !upload.recorder->m_progress.empty(); }, g_threadWaitMs));
    QTest::qWait(500);
    QCOMPARE(upload.recorder->m_progress.size(), size_t(1));

    limiter.SetLimits(1024, 1024);
    QElapsedTimer t;
    t.start();
    QCOMPARE(ReadExactly(upload.down.get(), size, 30000).size(), int(size));
    const qint64 took = t.elapsed();
    qDebug() << "the rest of 64 KiB after the limit was raised took" << took << "ms";
    // At 1024 KiB/s the rest takes a few tens of milliseconds; the bound
    // allows for a loaded machine and is still below the old sleep.
    QVERIFY2(took < 5000, qPrintable(QString::number(took)));
    upload.down->disconnectFromHost();
    QVERIFY(upload.recorder->WaitFinal(30000));
    QVERIFY(upload.thread->wait(g_threadWaitMs));
    QCOMPARE(upload.recorder->m_complete, 1);
}

QTEST_GUILESS_MAIN(TestTransferThreads)
#include "test_transfer_threads.moc"
