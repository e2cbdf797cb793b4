// The MP3 scanner: real lame encodings, the vote's rules on hand-made
// headers, damaged and crafted files, memory and quitting on a huge file,
// and the results' way through the worker thread into the store.

#include "MP3FrameVote.h"
#include "MP3Scanner.h"
#include "MP3TestFiles.h"
#include "SharesTestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <random>

using namespace sharestest;

namespace
{

struct Result
{
    bool ok = false;
    int version = 0;
    std::string mode;
    int index = 0;
    bool vbr = false;
    int bitrate = -1;

    bool operator==(const Result& i_o) const
    {
        return ok == i_o.ok && (!ok || (version == i_o.version && mode == i_o.mode && index == i_o.index &&
                                        vbr == i_o.vbr && bitrate == i_o.bitrate));
    }
};

char* toString(const Result& i_r)
{
    return QTest::toString(i_r.ok ? QStringLiteral("MPEG-%1 index %2 %3 %4 %5")
                                        .arg(i_r.version)
                                        .arg(i_r.index)
                                        .arg(QString::fromStdString(i_r.mode))
                                        .arg(i_r.vbr ? "vbr" : "cbr")
                                        .arg(i_r.bitrate)
                                  : QStringLiteral("no result"));
}

Result Scan(const QString& i_path)
{
    MP3Scanner scanner;
    Result r;
    r.ok = scanner.ScanMP3(U8(i_path), r.version, r.mode, r.index, r.vbr, r.bitrate);
    return r;
}

Result Expect(int i_version, const char* i_mode, int i_index, bool i_vbr, int i_bitrate)
{
    return Result{true, i_version, i_mode, i_index, i_vbr, i_bitrate};
}

void WriteBytes(const QString& i_path, const QByteArray& i_bytes)
{
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(i_bytes) != i_bytes.size())
        qFatal("cannot write %s", qPrintable(i_path));
}

QByteArray ReadBytes(const QString& i_path)
{
    QFile f(i_path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A Layer III header. Version code 1, 2 or 25.
QByteArray Header(int i_version, int i_protection, int i_rate, int i_mode, int i_bitrateIndex)
{
    const int versionBits = i_version == 1 ? 3 : i_version == 2 ? 2 : 0;
    QByteArray h(4, 0);
    h[0] = char(0xFF);
    h[1] = char(0xE0 | (versionBits << 3) | (1 << 1) | i_protection);
    h[2] = char((i_bitrateIndex << 4) | (i_rate << 2));
    h[3] = char(i_mode << 6);
    return h;
}

// i_count copies of a header, each followed by four zero bytes.
QByteArray Frames(const QByteArray& i_header, int i_count)
{
    QByteArray bytes;
    for (int k = 0; k < i_count; ++k)
        bytes += i_header + QByteArray(4, 0);
    return bytes;
}

// MPEG-1, no CRC, 44.1 kHz, joint stereo, with a bitrate index.
QByteArray Joint(int i_bitrateIndex)
{
    return Header(1, 1, 0, 1, i_bitrateIndex);
}

QByteArray At(int i_size, int i_offset, const QByteArray& i_header)
{
    QByteArray bytes(i_size, 0);
    bytes.replace(i_offset, i_header.size(), i_header);
    return bytes;
}

double ResidentKiB(const char* i_field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string field = std::string(i_field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, field.size(), field) == 0)
            return std::strtod(line.c_str() + field.size(), nullptr);
    return 0;
}

// Bytes this process has read so far; -1 where the system does not say.
qint64 BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    qint64 value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

} // namespace

Q_DECLARE_METATYPE(Result)

class TestMP3Scanner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lameEncodings_data();
    void lameEncodings();
    void mpeg25IsNotJudged();
    void voteRules_data();
    void voteRules();
    void damagedFiles();
    void repeatedHeaderKeepsMemoryFlat();
    void quittingStopsALongScan();
    void queuedScansKeepTheirOrder();
    void resultsReachTheStore();

private:
    // A lame encoding of a WAV of i_seconds at i_rate kHz, made once per name.
    QString Encode(const QString& i_name, const QString& i_rate, const QStringList& i_options,
                   double i_seconds = 8);

    QTemporaryDir m_files;
    std::unique_ptr<QTemporaryDir> mp_dir;
    std::unique_ptr<Environment> mp_env;
};

void TestMP3Scanner::initTestCase()
{
    QVERIFY2(mp3test::HaveLame(), "the `lame` command is missing: install it (scripts/setup-deps)");
    QVERIFY(m_files.isValid());
}

void TestMP3Scanner::init()
{
    mp_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(mp_dir->isValid());
    mp_env = std::make_unique<Environment>();
}

void TestMP3Scanner::cleanup()
{
    mp_env.reset();
    mp_dir.reset();
}

QString TestMP3Scanner::Encode(const QString& i_name, const QString& i_rate, const QStringList& i_options,
                               double i_seconds)
{
    const QString mp3 = m_files.filePath(i_name + QStringLiteral(".mp3"));
    if (QFile::exists(mp3))
        return mp3;
    // Written at the output rate, so lame's resampling has nothing to do.
    const int rate = int(i_rate.toDouble() * 1000);
    const QString wav = m_files.filePath(i_name + QStringLiteral(".wav"));
    if (!mp3test::WriteWav(wav, rate, 2, i_seconds, qHash(i_name)))
        qFatal("cannot write %s", qPrintable(wav));
    const QString failure = mp3test::EncodeWithLame(wav, mp3, i_rate, i_options);
    QFile::remove(wav);
    if (!failure.isEmpty())
        qFatal("%s", qPrintable(failure));
    return mp3;
}

void TestMP3Scanner::lameEncodings_data()
{
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<Result>("expected");   // a VBR bitrate of -1: judged against the file's mean

    const QStringList joint{"-m", "j"}, stereo{"-m", "s"}, mono{"-m", "m"}, dual{"-m", "d"};
    QTest::newRow("32 kHz CBR") << "32" << QStringList{"-b", "128"} + joint << Expect(1, "joint stereo", 2, false, 128);
    QTest::newRow("44.1 kHz CBR") << "44.1" << QStringList{"-b", "192"} + stereo << Expect(1, "stereo", 0, false, 192);
    QTest::newRow("48 kHz CBR") << "48" << QStringList{"-b", "320"} + mono << Expect(1, "mono", 1, false, 320);
    QTest::newRow("44.1 kHz dual") << "44.1" << QStringList{"-b", "256"} + dual << Expect(1, "dual mono", 0, false, 256);
    // 144 exists only in the lower-rate table.
    QTest::newRow("16 kHz CBR") << "16" << QStringList{"-b", "64"} + joint << Expect(2, "joint stereo", 2, false, 64);
    QTest::newRow("22.05 kHz CBR") << "22.05" << QStringList{"-b", "24"} + mono << Expect(2, "mono", 0, false, 24);
    QTest::newRow("24 kHz CBR") << "24" << QStringList{"-b", "144"} + stereo << Expect(2, "stereo", 1, false, 144);
    QTest::newRow("44.1 kHz VBR") << "44.1" << QStringList{"-V", "2"} + joint << Expect(1, "joint stereo", 0, true, -1);
    QTest::newRow("48 kHz VBR mono") << "48" << QStringList{"-V", "6"} + mono << Expect(1, "mono", 1, true, -1);
    QTest::newRow("22.05 kHz VBR") << "22.05" << QStringList{"-V", "4"} + stereo << Expect(2, "stereo", 0, true, -1);
}

void TestMP3Scanner::lameEncodings()
{
    QFETCH(QString, rate);
    QFETCH(QStringList, options);
    QFETCH(Result, expected);
    const double seconds = 8;
    const QString mp3 = Encode(QString::fromLatin1(QTest::currentDataTag()), rate, options, seconds);
    const Result r = Scan(mp3);
    if (expected.vbr)
    {
        // Every frame lasts as long, so the mean of the frames' bitrates is
        // the file's bytes over its play length (a frame or two of encoder
        // padding aside).
        const double mean = double(QFileInfo(mp3).size()) * 8 / seconds / 1000;
        QVERIFY2(std::abs(r.bitrate - mean) <= 4, qPrintable(QStringLiteral("%1 against %2").arg(r.bitrate).arg(mean)));
        expected.bitrate = r.bitrate;
    }
    QCOMPARE(r, expected);
}

void TestMP3Scanner::mpeg25IsNotJudged()
{
    // 8 kHz is MPEG-2.5, which wins its vote and so gives no result.
    const QString mp3 = Encode(QStringLiteral("8 kHz"), QStringLiteral("8"), {"-b", "24"});
    QCOMPARE(Scan(mp3), Result());

    QVERIFY(QFile::copy(mp3, mp_dir->filePath("low.mp3")));
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    LogCapture log(QStringLiteral("MP3 Scanning"));
    Share(mp_dir->path());
    // Nothing comes back; a scan of a file behind it shows the queue moved on.
    const QString cbr = Encode(QStringLiteral("44.1 kHz CBR"), "44.1", {"-b", "192", "-m", "s"});
    QVERIFY(QFile::copy(cbr, mp_dir->filePath("zz.mp3")));
    m->RescanShares();
    QTRY_VERIFY_WITH_TIMEOUT(FileItem(mp_dir->path(), "zz.mp3").IsConnected("is_scanned"), 60000);
    QCOMPARE(log.Lines(), QStringList{QStringLiteral("Scanned ") + mp_dir->filePath("zz.mp3")});
    ItemPtr low = FileItem(mp_dir->path(), "low.mp3");
    QVERIFY(low);
    QVERIFY(!low.IsConnected("is_scanned"));
    QVERIFY(!low.IsConnected("bitrate"));
}

void TestMP3Scanner::voteRules_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Result>("expected");

    const int block = int(MP3FrameVote::BLOCK_SIZE);
    // Index 9 is 128 kbit/s, 14 is 320; in MPEG-2, 9 is 80.
    QTest::newRow("100 + 1 frames: constant") << Frames(Joint(9), 100) + Frames(Joint(14), 1)
                                              << Expect(1, "joint stereo", 0, false, 128);
    QTest::newRow("98 + 2 frames: variable, truncated mean") << Frames(Joint(9), 98) + Frames(Joint(14), 2)
                                                             << Expect(1, "joint stereo", 0, true, 131);
    QTest::newRow("one frame") << Frames(Joint(5), 1) << Expect(1, "joint stereo", 0, false, 64);
    QTest::newRow("MPEG-1 and -2 tie: MPEG-2")
        << Frames(Header(1, 1, 0, 1, 9), 3) + Frames(Header(2, 1, 0, 1, 9), 3) << Expect(2, "joint stereo", 0, false, 80);
    QTest::newRow("MPEG-2.5 ties MPEG-2: none")
        << Frames(Header(2, 1, 0, 1, 9), 3) + Frames(Header(25, 1, 0, 1, 9), 3) << Result();
    QTest::newRow("MPEG-2.5 ties the leading MPEG-1: none")
        << Frames(Header(1, 1, 0, 1, 9), 4) + Frames(Header(2, 1, 0, 1, 9), 1) + Frames(Header(25, 1, 0, 1, 9), 4)
        << Result();
    QTest::newRow("stereo and mono tie: mono")
        << Frames(Header(1, 1, 0, 0, 14), 2) + Frames(Header(1, 1, 0, 3, 9), 2) << Expect(1, "mono", 0, false, 128);
    QTest::newRow("indexes 0 and 1 tie: 1")
        << Frames(Header(1, 1, 0, 3, 14), 2) + Frames(Header(1, 1, 1, 3, 9), 2) << Expect(1, "mono", 1, false, 128);
    QTest::newRow("protection tie: clear")
        << Frames(Header(1, 1, 0, 3, 14), 2) + Frames(Header(1, 0, 0, 3, 9), 2) << Expect(1, "mono", 0, false, 128);
    // Two mono headers with a bad bitrate still win the mode vote, and the
    // stereo frame then matches nothing.
    QTest::newRow("rejected candidates keep their votes")
        << Frames(Header(1, 1, 0, 3, 15), 2) + Frames(Header(1, 1, 0, 0, 9), 1) << Result();
    QTest::newRow("layer II and reserved values are not frames")
        << Frames(QByteArray::fromHex("fffd9064"), 5) + Frames(QByteArray::fromHex("ffeb9064"), 5) +
               Frames(QByteArray::fromHex("fffb9c64"), 5) + Frames(QByteArray::fromHex("fffb0064"), 5)
        << Result();
    QTest::newRow("header in a block's last four bytes") << At(block, block - 4, Joint(9)) << Result();
    QTest::newRow("header across two blocks") << At(block + 8, block - 2, Joint(9)) << Result();
    QTest::newRow("header five bytes before a block's end")
        << At(block, block - 5, Joint(9)) << Expect(1, "joint stereo", 0, false, 128);
    QTest::newRow("header at a block's start")
        << At(block + 8, block, Joint(9)) << Expect(1, "joint stereo", 0, false, 128);
    QTest::newRow("header in the file's last four bytes") << QByteArray(3, 0) + Joint(9) << Result();
}

void TestMP3Scanner::voteRules()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Result, expected);
    const QString path = mp_dir->filePath("synthetic.mp3");
    WriteBytes(path, bytes);
    QCOMPARE(Scan(path), expected);
}

void TestMP3Scanner::damagedFiles()
{
    const QString dir = mp_dir->path();
    WriteBytes(dir + "/empty.mp3", QByteArray());
    QCOMPARE(Scan(dir + "/empty.mp3"), Result());
    QCOMPARE(Scan(dir + "/missing.mp3"), Result());
    QVERIFY(QDir().mkpath(dir + "/folder.mp3"));
    QCOMPARE(Scan(dir + "/folder.mp3"), Result());
    WriteBytes(dir + "/text.mp3", QByteArray("not music at all\n").repeated(5000));
    QCOMPARE(Scan(dir + "/text.mp3"), Result());

    // Random bytes: whatever comes out is a possible result.
    std::mt19937 random(5);
    QByteArray noise(3 * 1024 * 1024, 0);
    for (char& c : noise)
        c = char(random());
    WriteBytes(dir + "/noise.mp3", noise);
    const Result r = Scan(dir + "/noise.mp3");
    if (r.ok)
    {
        QVERIFY(r.version == 1 || r.version == 2);
        QVERIFY(r.index >= 0 && r.index <= 2);
        QVERIFY(r.bitrate >= 8 && r.bitrate <= 320);
    }

    const QString cbr = Encode(QStringLiteral("44.1 kHz CBR"), "44.1", {"-b", "192", "-m", "s"});
    const QByteArray whole = ReadBytes(cbr);
    const Result wholeResult = Scan(cbr);
    QVERIFY(wholeResult.ok);

    // Cut off in the middle of a frame.
    WriteBytes(dir + "/truncated.mp3", whole.left(whole.size() * 3 / 5 + 7));
    QCOMPARE(Scan(dir + "/truncated.mp3"), wholeResult);

    // An ID3v2 tag that declares the greatest size it can (256 MB) in front.
    QByteArray tag("ID3");
    tag += QByteArray::fromHex("0400007f7f7f7f");
    tag += QByteArray("TIT2") + QByteArray::fromHex("0000000f0000") + QByteArray(15, 'x');
    tag += QByteArray(1000, 0);
    WriteBytes(dir + "/tagged.mp3", tag + whole);
    QCOMPARE(Scan(dir + "/tagged.mp3"), wholeResult);
}

void TestMP3Scanner::repeatedHeaderKeepsMemoryFlat()
{
    // A candidate every four bytes, 100 MB of them.
    const QString path = mp_dir->filePath("crafted.mp3");
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray chunk = Joint(9).repeated(256 * 1024);
        for (int k = 0; k < 100; ++k)
            QCOMPARE(f.write(chunk), qint64(chunk.size()));
    }
    // Reset the peak so that it shows this scan alone.
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
    }
    const double before = ResidentKiB("VmRSS");
    QCOMPARE(Scan(path), Expect(1, "joint stereo", 0, false, 128));
    const double peak = ResidentKiB("VmHWM");
    QVERIFY2(peak - before < 32 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(peak - before)));
}

void TestMP3Scanner::quittingStopsALongScan()
{
    // A sparse file far too big to read before the test times out, then a
    // good file that must not be scanned any more.
    const QString huge = mp_dir->filePath("huge.mp3");
    {
        QFile f(huge);
        QVERIFY(f.open(QIODevice::WriteOnly));
        // As big as the file system allows sparse files to be.
        QVERIFY(f.resize(qint64(1) << 40) || f.resize(qint64(1) << 36));
    }
    const QString good = Encode(QStringLiteral("44.1 kHz CBR"), "44.1", {"-b", "192", "-m", "s"});

    SharedFoldersManager* m = mp_env->Manager();
    LogCapture log(QStringLiteral("MP3 Scanning"));
    const qint64 readBefore = BytesRead();
    emit m->MP3ScanRequired(huge);
    emit m->MP3ScanRequired(good);
    if (readBefore < 0)
        QTest::qWait(500);
    else
        QTRY_VERIFY_WITH_TIMEOUT(BytesRead() - readBefore > 8 * 1024 * 1024, 60000);

    QElapsedTimer timer;
    timer.start();
    mp_env->DestroyManager();
    // Reading the whole file would take many minutes.
    QVERIFY2(timer.elapsed() < 60000, qPrintable(QStringLiteral("%1 ms").arg(timer.elapsed())));
    QTest::qWait(200);
    QVERIFY(log.Lines().isEmpty());
}

void TestMP3Scanner::queuedScansKeepTheirOrder()
{
    // Folders whose paths share their first bytes, names of several bytes
    // per character (one longer than 127 bytes), two whose characters
    // outside the first plane differ only in their second half, and files
    // asked for again.
    const QString good = Encode(QStringLiteral("44.1 kHz CBR"), "44.1", {"-b", "192", "-m", "s"});
    QStringList requests;
    for (const QString& folder : {QStringLiteral("/Album 1"), QStringLiteral("/Album 10"),
                                  QStringLiteral("/Caf\u00e9/Disc"), QStringLiteral("/Album 1/CD")})
    {
        QVERIFY(QDir().mkpath(mp_dir->path() + folder));
        for (const QString& name :
             {QStringLiteral("01 \u00fcber.mp3"), QStringLiteral("02.mp3"), QString(60, QChar(0x20ac)) + ".mp3",
              QString::fromUcs4(U"\U0001F3B5.mp3"), QString::fromUcs4(U"\U0001F3B6.mp3")})
        {
            requests << mp_dir->path() + folder + "/" + name;
            QVERIFY(QFile::copy(good, requests.last()));
        }
    }
    requests << requests[4] << requests[0];

    SharedFoldersManager* m = mp_env->Manager();
    LogCapture log(QStringLiteral("MP3 Scanning"));
    for (const QString& path : requests)
        emit m->MP3ScanRequired(path);
    QTRY_COMPARE_WITH_TIMEOUT(log.Lines().size(), requests.size(), 60000);
    for (int k = 0; k < requests.size(); ++k)
        QCOMPARE(log.Lines()[k], QStringLiteral("Scanned ") + requests[k]);

    // Quitting drops the requests still waiting, and those that come later.
    MP3Scanner scanner;
    QStringList scanned;
    connect(&scanner, &MP3Scanner::MP3Scanned, this, [&](const QString& i_file) {
        scanned << i_file;
        if (scanned.size() == 2)
            scanner.Quit();
    });
    for (const QString& path : requests)
        scanner.QueueScan(path);
    QTRY_COMPARE(scanned.size(), 2);
    scanner.QueueScan(requests[0]);
    QTest::qWait(200);
    QCOMPARE(scanned, requests.mid(0, 2));
}

void TestMP3Scanner::resultsReachTheStore()
{
    const QString root = mp_dir->path();
    struct Expected
    {
        const char* name;
        const char* version;
        const char* mode;
        const char* frequency;
        const char* bitrateMode;
    };
    const QList<Expected> files{{"Album/cbr.mp3", "1", "stereo", "0", "cbr"},
                                {"Album/VBR.MP3", "1", "joint stereo", "0", "vbr"},
                                {"low.mp3", "2", "mono", "0", "cbr"}};
    QVERIFY(QDir().mkpath(root + "/Album"));
    QVERIFY(QFile::copy(Encode(QStringLiteral("44.1 kHz CBR"), "44.1", {"-b", "192", "-m", "s"}),
                        root + "/Album/cbr.mp3"));
    QVERIFY(QFile::copy(Encode(QStringLiteral("44.1 kHz VBR"), "44.1", {"-V", "2", "-m", "j"}),
                        root + "/Album/VBR.MP3"));
    QVERIFY(QFile::copy(Encode(QStringLiteral("22.05 kHz CBR"), "22.05", {"-b", "24", "-m", "m"}),
                        root + "/low.mp3"));

    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    LogCapture log(QStringLiteral("MP3 Scanning"));
    Share(root);
    auto item = [&](const Expected& i_e) {
        const QString path = root + "/" + i_e.name;
        return FileItem(QFileInfo(path).path(), QFileInfo(path).fileName());
    };
    for (const Expected& e : files)
        QTRY_VERIFY_WITH_TIMEOUT(item(e).IsConnected("is_scanned"), 60000);
    for (const Expected& e : files)
    {
        ItemPtr f = item(e);
        QCOMPARE(f["mpeg_version"].AsString(), std::string(e.version));
        QCOMPARE(f["channel_mode"].AsString(), std::string(e.mode));
        QCOMPARE(f["audio_frequency"].AsString(), std::string(e.frequency));
        QCOMPARE(f["bitrate_mode"].AsString(), std::string(e.bitrateMode));
        QVERIFY(f["bitrate"].AsInt() > 0);
    }
    QCOMPARE(item(files[0])["bitrate"].AsString(), std::string("192"));
    QCOMPARE(item(files[2])["bitrate"].AsString(), std::string("24"));
    QCOMPARE(log.Lines().size(), 3);

    // Scanned files are not asked for again.
    QSignalSpy requests(m, &SharedFoldersManager::MP3ScanRequired);
    m->RescanShares();
    QCOMPARE(requests.count(), 0);

    // A result for a file that has left the share is only logged.
    m->OnMP3Scanned(root + "/gone.mp3", 1, QStringLiteral("mono"), 2, false, 224);
    QCOMPARE(log.Lines().last(), QStringLiteral("Scanned ") + root + "/gone.mp3");
    QVERIFY(!T("bitrate")->HasItem("224"));

    // New content of another size loses the old values at once, so if it
    // does not scan it carries no stale bitrate.
    WriteBytes(root + "/low.mp3", QByteArray("no longer music"));
    m->RescanShares();
    QCOMPARE(requests.count(), 1);
    ItemPtr low = item(files[2]);
    for (const char* type : {"is_scanned", "mpeg_version", "channel_mode", "audio_frequency", "bitrate_mode", "bitrate"})
        QVERIFY2(!low.IsConnected(type), type);
    QTest::qWait(500);
    QVERIFY(!low.IsConnected("is_scanned"));
    QVERIFY(item(files[0]).IsConnected("is_scanned"));
}

QTEST_GUILESS_MAIN(TestMP3Scanner)
#include "test_mp3_scanner.moc"
