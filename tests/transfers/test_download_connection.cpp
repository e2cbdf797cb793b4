// The download side of a file connection, end to end: a scripted uploader
// offers a file over a "P" connection and sends it over an "F" connection
// to the real peer network, which hands the socket to the transfer queue.
// Offsets, resume, completion and its record, folder clean-up, hostile
// names, one writer per partial file, and local failures that keep every
// file intact.

#include "DownloadPaths.h"
#include "TransferTestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

using namespace transfertest;

namespace
{
const quint32 kDirectionUpload = 1;

QByteArray Random(qint64 i_size)
{
    QByteArray b(int(i_size), '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(b.data()), b.size() / 4);
    for (int i = b.size() / 4 * 4; i < b.size(); ++i)
        b[i] = char(i);
    return b;
}

QByteArray Sha(const QByteArray& i_bytes)
{
    return QCryptographicHash::hash(i_bytes, QCryptographicHash::Sha256);
}

QByteArray ReadAll(const QString& i_path)
{
    QFile f(i_path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void Write(const QString& i_path, const QByteArray& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(i_bytes) != i_bytes.size())
        qFatal("cannot write %s", qPrintable(i_path));
}

// Every file and folder below a folder, relative to it.
QStringList Tree(const QString& i_root)
{
    QStringList all;
    QDirIterator it(i_root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << QDir(i_root).relativeFilePath(it.next());
    all.sort();
    return all;
}

bool WaitStatus(ItemPtr i_download, const std::string& i_status)
{
    return QTest::qWaitFor([&] { return Status(i_download) == i_status; }, g_waitMs);
}

// The uploader's end of a file connection, written from the protocol.
class ScriptedUploader
{
public:
    bool Open(quint16 i_port, const QByteArray& i_user, quint32 i_req)
    {
        if (!ScriptedPeer::Locate(i_user))
            return false;
        mp_socket = ConnectRaw(i_port);
        if (!mp_socket)
            return false;
        WriteRaw(mp_socket.get(), PeerInit(i_user, "F") + U32(i_req));
        return true;
    }

    // The start offset the downloader answers; -1 when it closes without.
    qint64 Offset()
    {
        QByteArray bytes;
        (void)QTest::qWaitFor(
            [&] {
                bytes += mp_socket->read(8 - bytes.size());
                return bytes.size() == 8 || mp_socket->state() == QAbstractSocket::UnconnectedState;
            },
            g_waitMs);
        return bytes.size() == 8 ? qFromLittleEndian<qint64>(bytes.constData()) : -1;
    }

    void Send(const QByteArray& i_bytes) { WriteRaw(mp_socket.get(), i_bytes); }

    // Lets the event loop push out what is still buffered.
    void Drain()
    {
        (void)QTest::qWaitFor([&] { return mp_socket->bytesToWrite() == 0; }, g_waitMs);
    }

    bool Closed(int i_timeoutMs = g_waitMs) { return WaitClosed(mp_socket.get(), i_timeoutMs); }
    void Drop() { mp_socket->abort(); }

private:
    std::unique_ptr<QTcpSocket> mp_socket;
};
} // namespace

class TestDownloadConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_fixture.TearDown(); }

    void paths_data();
    void paths();
    void resumeCompleteAndRecord();
    void droppedUploaderThenNextOffer();
    void offerWithoutTransferFailsThenRetries();
    void foldersGoOnlyWhenNothingPending();
    void hostileNamesStayInside_data();
    void hostileNamesStayInside();
    void oneWriterPerPartialFile();
    void removedWhileRunning();
    void localFailuresKeepFiles();
    void partialFilesKeepTheirDownload();
    void changedSourceFileStartsOver();
    void distinctWireNamesStayDistinct();

private:
    QString Root() const { return m_root.filePath("dl"); }
    QString Downloading(const QString& i_rest) const { return Root() + "/downloading/" + i_rest; }
    QString Complete(const QString& i_rest) const { return Root() + "/complete/" + i_rest; }

    // Accepted offer of the file (folder + "\" + name) over bob's "P"
    // connection; false when the client refuses it. o_reason: its reason.
    bool Offer(ScriptedPeer& io_peer, quint32 i_req, const QByteArray& i_file, qint64 i_size,
               QByteArray* o_reason = nullptr);
    // Sends the whole file over a new file connection from the given
    // offset on; the offset the client asked for.
    qint64 Transfer(quint32 i_req, const QByteArray& i_content, const QByteArray& i_user = "bob");
    // An accepted offer whose uploader sends the first bytes from offset 0
    // and breaks off; true once the transfer has ended.
    bool Dropped(const QByteArray& i_user, quint32 i_req, const QByteArray& i_file, const QByteArray& i_content,
                 int i_sent = 419563);

    QueueFixture m_fixture;
    QTemporaryDir m_root;
};

void TestDownloadConnection::init()
{
    m_fixture.Start();
    QVERIFY(m_fixture.GoOnline());
    QDir(m_root.path()).removeRecursively();
    QDir().mkpath(m_root.path());
    SetSetting("download_folder", ToUtf8(Root()));
}

bool TestDownloadConnection::Offer(ScriptedPeer& io_peer, quint32 i_req, const QByteArray& i_file, qint64 i_size,
                                   QByteArray* o_reason)
{
    io_peer.Send(Frame(PM_TRANSFER_REQUEST, U32(kDirectionUpload) + U32(i_req) + Str(i_file) + I64(i_size)));
    for (QByteArray m = io_peer.Next(); !m.isEmpty(); m = io_peer.Next())
    {
        if (Code(m) != PM_TRANSFER_RESPONSE || ToU32(m, 4) != i_req)
            continue;
        const bool accepted = m.at(8) == 1;
        if (!accepted && o_reason)
            *o_reason = FirstString(m, 9);
        return accepted;
    }
    return false;
}

qint64 TestDownloadConnection::Transfer(quint32 i_req, const QByteArray& i_content, const QByteArray& i_user)
{
    ScriptedUploader up;
    if (!up.Open(m_fixture.mp_messenger->ListeningPort(), i_user, i_req))
        return -1;
    const qint64 offset = up.Offset();
    if (offset >= 0 && offset <= i_content.size())
    {
        up.Send(i_content.mid(int(offset)));
        up.Closed();
    }
    return offset;
}

bool TestDownloadConnection::Dropped(const QByteArray& i_user, quint32 i_req, const QByteArray& i_file,
                                     const QByteArray& i_content, int i_sent)
{
    ScriptedPeer peer;
    ScriptedUploader up;
    if (!peer.Open(m_fixture.mp_messenger, i_user) || !Offer(peer, i_req, i_file, i_content.size()) ||
        !up.Open(m_fixture.mp_messenger->ListeningPort(), i_user, i_req) || up.Offset() != 0)
        return false;
    up.Send(i_content.left(i_sent));
    up.Drain();
    QTest::qWait(200);
    up.Drop();
    return QTest::qWaitFor([&] { return T("download_thread")->ItemCount() == 0; }, g_waitMs);
}

void TestDownloadConnection::paths_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("file");
    QTest::newRow("level 0") << QByteArray("music\\rock\\album") << QByteArray("a.mp3") << 0 << "\\album" << "a.mp3";
    QTest::newRow("level 1") << QByteArray("music\\rock\\album") << QByteArray("a.mp3") << 1 << "\\rock\\album"
                             << "a.mp3";
    QTest::newRow("level above the parts") << QByteArray("a\\b\\c") << QByteArray("x") << 9 << "\\a\\b\\c" << "x";
    QTest::newRow("negative level") << QByteArray("a\\b") << QByteArray("x") << -4 << "\\b" << "x";
    QTest::newRow("no folder") << QByteArray() << QByteArray("x") << 2 << "" << "x";
    QTest::newRow("trailing separator") << QByteArray("a\\b\\") << QByteArray("x") << 0 << "\\b" << "x";
    QTest::newRow("dot parts") << QByteArray("..\\.\\..") << QByteArray("..") << 5 << "\\_\\_\\_" << "_";
    QTest::newRow("leading separators") << QByteArray("\\etc") << QByteArray(".") << 3 << "\\_\\etc" << "_";
    QTest::newRow("empty parts") << QByteArray("a\\\\b") << QByteArray("") << 1 << "\\_\\b" << "_";
    QTest::newRow("slash and control bytes") << QByteArray("/abs/dir") << QByteArray("x/y\x01z\x7f", 6) << 0
                                             << "\\_abs_dir" << "x_y_z_";
    QTest::newRow("NUL") << QByteArray("f") << QByteArray("a\0b", 3) << 0 << "\\f" << "a_b";
    QTest::newRow("Latin-1 parts") << QByteArray("caf\xe9") << QByteArray("x\xe8") << 0 << QString::fromUtf8("\\caf\u00e9")
                                   << QString::fromUtf8("x\u00e8");
    QTest::newRow("long parts") << QByteArray(300, 'a') << QByteArray("\xc3\xa9").repeated(260) + ".x" << 0
                                << "\\" + QString(255, 'a') << QString(126, QChar(0xe9)) + ".x";
}

// The folder rule with cleaned parts; a "\" inside a name can only come
// from a name stored as sent, which a path never sees either.
void TestDownloadConnection::paths()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(int, level);
    QFETCH(QString, relative);
    QFETCH(QString, file);
    TransferQueueManager* q = m_fixture.mp_queue;
    ItemPtr dl = q->AddDownload("bob", name.toStdString(), folder.toStdString(), 10, level);
    QString root = Root();
    root.replace('/', '\\');
    QCOMPARE(q->GetDownloadRelativeDownloadFolder(dl), relative);
    QCOMPARE(q->GetDownloadTargetFolder(dl, true), root + "\\complete" + relative);
    QCOMPARE(q->GetDownloadTargetPath(dl, false), root + "\\downloading" + relative + "\\" + file);
    // The stored names stay as sent.
    QCOMPARE(dl["file_name"].AsString(), name.toStdString());
    QCOMPARE(dl["remote_folder"].AsString(), folder.toStdString());

    QCOMPARE(CleanPathComponent("a\\b"), std::string("a_b"));
    QVERIFY(IsBelowFolder("/d/downloading/x", "/d/downloading"));
    QVERIFY(!IsBelowFolder("/d/downloading/../x", "/d/downloading"));
    QVERIFY(!IsBelowFolder("/d/downloading", "/d/downloading"));
    QVERIFY(!IsBelowFolder("/d/downloadingx/y", "/d/downloading"));
}

// A 1 MiB partial file is resumed at 1048576, the rest appended, the file
// moved to the kept subfolder of "complete", the emptied subfolders of
// "downloading" removed, and one record with one signal. Completing the
// same file into the same place again adds no second record.
void TestDownloadConnection::resumeCompleteAndRecord()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(1024 * 1024 + 54321);
    Write(Downloading("rock/album/song.mp3"), content.left(1024 * 1024));
    QSignalSpy added(q, &TransferQueueManager::CompleteDownloadAdded);
    QSignalSpy progressed(q, &TransferQueueManager::DownloadProgressed);
    ItemPtr dl = q->AddDownload("bob", "song.mp3", "music\\rock\\album", content.size(), 1);
    // As the search views relate them.
    if (!T("download_entry")->IsRelated(T("search_request_text")))
        Relate(T("download_entry"), T("search_request_text"), Many, One);
    ItemPtr(dl) += T("search_request_text")->GetItem("rock song");
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));

    QVERIFY(Offer(bob, 7, "music\\rock\\album\\song.mp3", content.size()));
    QCOMPARE(Transfer(7, content), qint64(1024 * 1024));
    QVERIFY2(WaitStatus(dl, "complete"), Status(dl).c_str());
    QCOMPARE(Sha(ReadAll(Complete("rock/album/song.mp3"))), Sha(content));
    QVERIFY(!QFileInfo::exists(Downloading("rock")));
    QVERIFY(QFileInfo(Root() + "/downloading").isDir());
    QVERIFY(progressed.count() >= 7);
    QCOMPARE(m_fixture.Logged("Downloading"), 1);
    // The running transfer's objects are released.
    QVERIFY(!dl["download_thread"]);
    QVERIFY(!dl["download_socket"]);
    QVERIFY(!dl["write_position"]);

    QCOMPARE(added.count(), 1);
    ItemPtr record = added.at(0).at(0).value<ItemPtr>();
    QString folder = Root() + "/complete/rock/album";
    folder.replace('/', '\\');
    QCOMPARE(record["user"].AsString(), std::string("bob"));
    QCOMPARE(FromUtf8(record["complete_download_folder"].AsString()), folder);
    QCOMPARE(record["complete_download_relative_folder"].AsString(), std::string("\\rock\\album"));
    QCOMPARE(record["complete_download_filename"].AsString(), std::string("song.mp3"));
    QCOMPARE(record["complete_download_file_size"].AsString(), std::to_string(content.size()));
    QVERIFY(!record["complete_download_completion_time"].AsString().empty());
    QCOMPARE(record["search_request_text"].AsString(), std::string("rock song"));
    // The client is finished with the file: an offer now is refused.
    QByteArray reason;
    QVERIFY(!Offer(bob, 8, "music\\rock\\album\\song.mp3", content.size(), &reason));
    QCOMPARE(reason, QByteArray("Complete"));

    // The same file again, into the same place.
    QVERIFY(QFile::remove(Complete("rock/album/song.mp3")));
    q->RemoveDownload(dl);
    dl = q->AddDownload("bob", "song.mp3", "music\\rock\\album", content.size(), 1);
    QCOMPARE(Status(dl), std::string("queued"));
    QVERIFY(Offer(bob, 9, "music\\rock\\album\\song.mp3", content.size()));
    QCOMPARE(Transfer(9, content), qint64(0));
    QVERIFY(WaitStatus(dl, "complete"));
    QCOMPARE(Sha(ReadAll(Complete("rock/album/song.mp3"))), Sha(content));
    QCOMPARE(added.count(), 1);
    QCOMPARE(int(T("complete_download")->ItemCount()), 1);
    // Now the file is there: a new entry for it is complete at once.
    q->RemoveDownload(dl);
    dl = q->AddDownload("bob", "song.mp3", "music\\rock\\album", content.size(), 1);
    QCOMPARE(Status(dl), std::string("complete"));
}

// A first transfer starts at 0; an uploader that drops mid-file leaves
// "aborted" and an exact prefix; its next offer completes the file.
void TestDownloadConnection::droppedUploaderThenNextOffer()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(700000);
    ItemPtr dl = q->AddDownload("bob", "clip.avi", "", content.size(), 0);
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));
    // A file without a remote folder is offered as "\" + its name.
    QVERIFY(Offer(bob, 1, "\\clip.avi", content.size()));

    ScriptedUploader up;
    QVERIFY(up.Open(m_fixture.mp_messenger->ListeningPort(), "bob", 1));
    QCOMPARE(up.Offset(), qint64(0));
    QVERIFY(WaitStatus(dl, "downloading"));
    up.Send(content.left(300001));
    up.Drain();
    QTest::qWait(200);
    up.Drop();
    QVERIFY2(WaitStatus(dl, "aborted"), Status(dl).c_str());
    const QByteArray partial = ReadAll(Downloading("clip.avi"));
    QVERIFY(partial.size() > 0 && partial.size() <= 300001);
    QCOMPARE(partial, content.left(partial.size()));

    QVERIFY(Offer(bob, 2, "\\clip.avi", content.size()));
    QCOMPARE(Transfer(2, content), qint64(partial.size()));
    QVERIFY(WaitStatus(dl, "complete"));
    QCOMPARE(Sha(ReadAll(Root() + "/complete/clip.avi")), Sha(content));
}

// An accepted offer whose file connection never becomes a transfer (one
// breaks before its request number, none comes after) ends "aborted" once
// the uploader reports the failure, and is asked for again; the next offer
// completes the file. A notice for a download no offer reached changes no
// status.
void TestDownloadConnection::offerWithoutTransferFailsThenRetries()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(20000);
    ItemPtr dl = q->AddDownload("bob", "late.bin", "f", content.size(), 0);
    ItemPtr other = q->AddDownload("bob", "other.bin", "f", 10, 0);
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));
    SetOnline("bob", true);
    QVERIFY(Offer(bob, 5, "f\\late.bin", content.size()));

    std::unique_ptr<QTcpSocket> broken = ConnectRaw(m_fixture.mp_messenger->ListeningPort());
    QVERIFY(broken);
    WriteRaw(broken.get(), PeerInit("bob", "F"));
    broken->abort();
    bob.Drain();
    bob.Send(Frame(PM_UPLOAD_FAILED, Str("f\\other.bin")));
    bob.Send(Frame(PM_UPLOAD_FAILED, Str("f\\late.bin")));
    QVERIFY2(WaitStatus(dl, "aborted"), Status(dl).c_str());
    QCOMPARE(Status(other), std::string("queued"));
    QStringList asked;
    for (const QByteArray& m : bob.Drain())
        asked << QString::number(Code(m)) + " " + QString::fromLatin1(FirstString(m));
    QCOMPARE(asked, QStringList({"43 f\\other.bin", "43 f\\late.bin"}));

    QVERIFY(Offer(bob, 6, "f\\late.bin", content.size()));
    QCOMPARE(Transfer(6, content), qint64(0));
    QVERIFY(WaitStatus(dl, "complete"));
    QCOMPARE(ReadAll(Complete("f/late.bin")), content);
}

// Subfolders of "downloading" go once no download from that remote folder
// is pending, and never "downloading" itself when a subfolder was kept.
void TestDownloadConnection::foldersGoOnlyWhenNothingPending()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray one = Random(5000);
    const QByteArray two = Random(9000);
    ItemPtr first = q->AddDownload("bob", "1.txt", "share\\x\\y", one.size(), 1);
    ItemPtr second = q->AddDownload("bob", "2.txt", "share\\x\\y", two.size(), 1);
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));

    QVERIFY(Offer(bob, 11, "share\\x\\y\\1.txt", one.size()));
    QCOMPARE(Transfer(11, one), qint64(0));
    QVERIFY(WaitStatus(first, "complete"));
    QVERIFY(QFileInfo(Downloading("x/y")).isDir());

    QVERIFY(Offer(bob, 12, "share\\x\\y\\2.txt", two.size()));
    QCOMPARE(Transfer(12, two), qint64(0));
    QVERIFY(WaitStatus(second, "complete"));
    QVERIFY(!QFileInfo::exists(Downloading("x")));
    QVERIFY(QFileInfo(Root() + "/downloading").isDir());
    QCOMPARE(ReadAll(Complete("x/y/1.txt")), one);
    QCOMPARE(ReadAll(Complete("x/y/2.txt")), two);
}

void TestDownloadConnection::hostileNamesStayInside_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("landed");
    QTest::newRow("dot-dot parts") << QByteArray("..\\..\\..\\evil") << QByteArray("..") << 3 << "_/_/_/evil/_";
    QTest::newRow("leading backslash") << QByteArray("\\etc") << QByteArray("passwd") << 1 << "_/etc/passwd";
    QTest::newRow("leading slash") << QByteArray("/tmp") << QByteArray("x") << 0 << "_tmp/x";
    QTest::newRow("dot and empty parts") << QByteArray("a\\.\\\\b") << QByteArray(".") << 7 << "a/_/_/b/_";
    QTest::newRow("backslash and NUL in the name") << QByteArray("f") << QByteArray("..\\..\\e\0vil", 11) << 0
                                                   << "f/.._.._e_vil";
    QTest::newRow("bad level") << QByteArray("p\\q") << QByteArray("z") << -7 << "q/z";
}

// Names from a peer never reach outside the download folder: nothing is
// created, appended to or removed elsewhere.
void TestDownloadConnection::hostileNamesStayInside()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, name);
    QFETCH(int, level);
    QFETCH(QString, landed);
    Write(m_root.filePath("outside.txt"), "keep");
    const QStringList before = Tree(m_root.path());
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(20000);
    ItemPtr dl = q->AddDownload("bob", name.toStdString(), folder.toStdString(), content.size(), level);
    // The request number as an accepted offer would leave it; a name with
    // "\" cannot be offered by path.
    ItemPtr(dl) += T("remote_transfer_req")->GetItem(Value(21));
    QCOMPARE(Transfer(21, content), qint64(0));
    QVERIFY2(WaitStatus(dl, "complete"), Status(dl).c_str());
    QCOMPARE(ReadAll(Complete(landed)), content);
    QVERIFY(q->DoesDownloadItemCompleteFilenameExist(dl));
    QStringList after = Tree(m_root.path());
    for (const QString& entry : after)
        QVERIFY2(before.contains(entry) || entry == "dl" || entry.startsWith("dl/"), qPrintable(entry));
    QCOMPARE(ReadAll(m_root.filePath("outside.txt")), QByteArray("keep"));
}

// Two downloads with one partial file: while the first writes it, the
// second's offer is refused with "Cancelled" and its file connection
// closed, as is a second connection for the running download.
void TestDownloadConnection::oneWriterPerPartialFile()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(200000);
    ItemPtr bobs = q->AddDownload("bob", "same.bin", "d", content.size(), 0);
    ItemPtr carols = q->AddDownload("carol", "same.bin", "d", content.size(), 0);
    ScriptedPeer bob;
    ScriptedPeer carol;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));
    QVERIFY(carol.Open(m_fixture.mp_messenger, "carol"));
    QVERIFY(Offer(bob, 31, "d\\same.bin", content.size()));
    QVERIFY(Offer(carol, 32, "d\\same.bin", content.size()));

    ScriptedUploader up;
    QVERIFY(up.Open(m_fixture.mp_messenger->ListeningPort(), "bob", 31));
    QCOMPARE(up.Offset(), qint64(0));
    QVERIFY(WaitStatus(bobs, "downloading"));
    up.Send(content.left(50000));

    ScriptedUploader late;
    QVERIFY(late.Open(m_fixture.mp_messenger->ListeningPort(), "carol", 32));
    QCOMPARE(late.Offset(), qint64(-1));
    QCOMPARE(Status(carols), std::string("queued"));
    ScriptedUploader again;
    QVERIFY(again.Open(m_fixture.mp_messenger->ListeningPort(), "bob", 31));
    QCOMPARE(again.Offset(), qint64(-1));
    QCOMPARE(Status(bobs), std::string("downloading"));
    QByteArray reason;
    QVERIFY(!Offer(carol, 33, "d\\same.bin", content.size(), &reason));
    QCOMPARE(reason, QByteArray("Cancelled"));

    up.Send(content.mid(50000));
    QVERIFY(up.Closed());
    QVERIFY(WaitStatus(bobs, "complete"));
    QCOMPARE(ReadAll(Complete("d/same.bin")), content);
    // Once the file is no longer being written, carol's offer is taken.
    QVERIFY(Offer(carol, 34, "d\\same.bin", content.size()));
}

// A download removed while its thread runs: the thread is stopped, and
// progress it had already reported reaches nobody.
void TestDownloadConnection::removedWhileRunning()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray content = Random(2000000);
    ItemPtr dl = q->AddDownload("bob", "gone.bin", "r", content.size(), 0);
    ItemPtr(dl) += T("remote_transfer_req")->GetItem(Value(51));
    ScriptedUploader up;
    QVERIFY(up.Open(m_fixture.mp_messenger->ListeningPort(), "bob", 51));
    QCOMPARE(up.Offset(), qint64(0));
    QVERIFY(WaitStatus(dl, "downloading"));
    QSignalSpy progressed(q, &TransferQueueManager::DownloadProgressed);
    up.Send(content.left(1000000));
    QVERIFY(QTest::qWaitFor([&] { return progressed.count() > 0; }, g_waitMs));
    q->RemoveDownload(dl);
    const int before = progressed.count();
    QVERIFY(up.Closed());
    QTest::qWait(100);
    QCOMPARE(progressed.count(), before);
    QCOMPARE(int(T("download_thread")->ItemCount()), 0);
    // The partial file stays.
    const QByteArray partial = ReadAll(Downloading("r/gone.bin"));
    QCOMPARE(partial, content.left(partial.size()));
}

// Local failures end as "local error" with a log line, never as a
// completed download, and leave every file as it was. A name taken in the
// complete folder, or by a longer file in the downloading folder, is no
// failure: the file takes the next free name.
void TestDownloadConnection::localFailuresKeepFiles()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    QSignalSpy added(q, &TransferQueueManager::CompleteDownloadAdded);

    // A complete name taken while the file was downloading.
    const QByteArray content = Random(30000);
    ItemPtr taken = q->AddDownload("bob", "t.bin", "f", content.size(), 0);
    ItemPtr(taken) += T("remote_transfer_req")->GetItem(Value(41));
    ScriptedUploader up;
    QVERIFY(up.Open(m_fixture.mp_messenger->ListeningPort(), "bob", 41));
    QCOMPARE(up.Offset(), qint64(0));
    Write(Complete("f/t.bin"), "already here");
    up.Send(content);
    QVERIFY2(WaitStatus(taken, "complete"), Status(taken).c_str());
    QCOMPARE(ReadAll(Complete("f/t.bin")), QByteArray("already here"));
    QCOMPARE(ReadAll(Complete("f/t (2).bin")), content);
    QVERIFY(!QFileInfo::exists(Downloading("f/t.bin")));
    QCOMPARE(m_fixture.Logged("saved as " + Complete("f/t (2).bin")), 1);
    QCOMPARE(added.count(), 1);
    QCOMPARE(added.at(0).at(0).value<ItemPtr>()["complete_download_filename"].AsString(), std::string("t (2).bin"));
    QVERIFY(q->GetDownloadTargetPath(taken, true).endsWith("\\t (2).bin"));

    // A partial file longer than the file is another file's.
    Write(Downloading("g/long.bin"), Random(500));
    ItemPtr longer = q->AddDownload("bob", "long.bin", "g", 400, 0);
    ItemPtr(longer) += T("remote_transfer_req")->GetItem(Value(42));
    QCOMPARE(Transfer(42, Random(400)), qint64(0));
    QVERIFY(WaitStatus(longer, "complete"));
    QCOMPARE(QFileInfo(Downloading("g/long.bin")).size(), qint64(500));
    added.clear();

    // A full disk: the partial path leads to /dev/full.
    QVERIFY(QDir().mkpath(Downloading("h")));
    QVERIFY(QFile::link("/dev/full", Downloading("h/full.bin")));
    ItemPtr full = q->AddDownload("bob", "full.bin", "h", 100000, 0);
    ItemPtr(full) += T("remote_transfer_req")->GetItem(Value(43));
    QCOMPARE(Transfer(43, Random(100000)), qint64(0));
    QVERIFY2(WaitStatus(full, "local error"), Status(full).c_str());
    QVERIFY(m_fixture.Logged("Could not write " + Downloading("h/full.bin")) == 1);
    QVERIFY(QFileInfo(Downloading("h/full.bin")).isSymLink());

    // A download folder below a plain file cannot be made, root or not.
    Write(m_root.filePath("plain"), "plain file");
    SetSetting("download_folder", ToUtf8(m_root.filePath("plain/dl")));
    ItemPtr blocked = q->AddDownload("bob", "b.bin", "k", 100, 0);
    ItemPtr(blocked) += T("remote_transfer_req")->GetItem(Value(44));
    QCOMPARE(Transfer(44, Random(100)), qint64(-1));
    QVERIFY(WaitStatus(blocked, "local error"));
    QCOMPARE(ReadAll(m_root.filePath("plain")), QByteArray("plain file"));
    QCOMPARE(added.count(), 0);
}

// Two users' files of one folder and name, of two sizes: each download
// writes a partial file of its own, also across a restart, and both end
// complete under names of their own; no file holds a mix. A file of the
// same size from a third user resumes the partial file it finds.
void TestDownloadConnection::partialFilesKeepTheirDownload()
{
    const QByteArray bobs = Random(1024 * 1024);
    const QByteArray carols = Random(2 * 1024 * 1024);
    // The uploader breaks off part-way; the bytes on disk are a prefix.
    ItemPtr bob = m_fixture.mp_queue->AddDownload("bob", "track.bin", "f", bobs.size(), 0);
    QVERIFY(Dropped("bob", 1, "f\\track.bin", bobs));
    const QByteArray prefix = ReadAll(Downloading("f/track.bin"));
    QVERIFY(prefix.size() > 0 && prefix.size() < bobs.size());
    QCOMPARE(prefix, bobs.left(prefix.size()));

    QVERIFY(m_fixture.RoundTrip());
    TransferQueueManager* q = m_fixture.mp_queue;
    ItemPtr carol = q->AddDownload("carol", "track.bin", "f", carols.size(), 0);
    ScriptedPeer carolPeer;
    QVERIFY(carolPeer.Open(m_fixture.mp_messenger, "carol"));
    QVERIFY(Offer(carolPeer, 2, "f\\track.bin", carols.size()));
    QCOMPARE(Transfer(2, carols, "carol"), qint64(0));
    QVERIFY2(WaitStatus(carol, "complete"), Status(carol).c_str());
    QCOMPARE(ReadAll(Downloading("f/track.bin")), prefix);

    bob = q->GetDownloadEntry("bob", "track.bin", "f");
    ScriptedPeer bobPeer;
    QVERIFY(bobPeer.Open(m_fixture.mp_messenger, "bob"));
    QVERIFY(Offer(bobPeer, 3, "f\\track.bin", bobs.size()));
    QCOMPARE(Transfer(3, bobs), qint64(prefix.size()));
    QVERIFY2(WaitStatus(bob, "complete"), Status(bob).c_str());
    QCOMPARE(Sha(ReadAll(Complete("f/track.bin"))), Sha(carols));
    QCOMPARE(Sha(ReadAll(Complete("f/track (2).bin"))), Sha(bobs));
    QCOMPARE(Tree(Root() + "/downloading"), QStringList());

    // A restart changes neither; the user coming online finds both done.
    QVERIFY(m_fixture.RoundTrip());
    SetOnline("bob", true);
    SetOnline("carol", true);
    q = m_fixture.mp_queue;
    for (const char* user : {"bob", "carol"})
        QCOMPARE(Status(q->GetDownloadEntry(user, "track.bin", "f")), std::string("complete"));
    QVERIFY(q->GetDownloadTargetPath(q->GetDownloadEntry("bob", "track.bin", "f"), true).endsWith("\\track (2).bin"));
    QCOMPARE(Sha(ReadAll(Complete("f/track.bin"))), Sha(carols));
    QCOMPARE(Sha(ReadAll(Complete("f/track (2).bin"))), Sha(bobs));

    // Same name, same size, another user: resumed where the partial ends.
    const QByteArray same = Random(600000);
    q->AddDownload("bob", "same.bin", "g", same.size(), 0);
    QVERIFY(Dropped("bob", 4, "g\\same.bin", same));
    const qint64 kept = QFileInfo(Downloading("g/same.bin")).size();
    QVERIFY(kept > 0);
    ItemPtr dave = q->AddDownload("dave", "same.bin", "g", same.size(), 0);
    ScriptedPeer davePeer;
    QVERIFY(davePeer.Open(m_fixture.mp_messenger, "dave"));
    QVERIFY(Offer(davePeer, 5, "g\\same.bin", same.size()));
    QCOMPARE(Transfer(5, same, "dave"), kept);
    QVERIFY(WaitStatus(dave, "complete"));
    QCOMPARE(Sha(ReadAll(Complete("g/same.bin"))), Sha(same));
}

// A file that changed at its source between two offers: the partial file
// of the old version is started over from offset 0, also across a restart
// and when it is longer than the new file, and the new version arrives
// byte-exact with nothing of the old one left on disk; a new offer of the
// same size resumes where the partial file ends.
void TestDownloadConnection::changedSourceFileStartsOver()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray before = Random(1024 * 1024 + 5);
    const QByteArray after = Random(900 * 1024);
    ItemPtr song = q->AddDownload("bob", "song.bin", "m", before.size(), 0);
    QVERIFY(Dropped("bob", 1, "m\\song.bin", before, 400 * 1024));
    QVERIFY(QFileInfo(Downloading("m/song.bin")).size() > 0);

    QVERIFY(m_fixture.RoundTrip());
    q = m_fixture.mp_queue;
    song = q->GetDownloadEntry("bob", "song.bin", "m");
    // The new version, broken off too: the partial file holds its start only.
    QVERIFY(Dropped("bob", 2, "m\\song.bin", after, 100000));
    QCOMPARE(m_fixture.Logged(QStringLiteral("%1 was started for a file of %2 bytes")
                                  .arg(Downloading("m/song.bin"))
                                  .arg(before.size())),
             1);
    const QByteArray prefix = ReadAll(Downloading("m/song.bin"));
    QVERIFY(prefix.size() > 0);
    QCOMPARE(prefix, after.left(prefix.size()));
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));
    QVERIFY(Offer(bob, 3, "m\\song.bin", after.size()));
    QCOMPARE(Transfer(3, after), qint64(prefix.size()));
    QVERIFY2(WaitStatus(song, "complete"), Status(song).c_str());
    QCOMPARE(Sha(ReadAll(Complete("m/song.bin"))), Sha(after));

    // Offered smaller than the partial file holds.
    const QByteArray clip = Random(600000);
    const QByteArray shorter = Random(100000);
    ItemPtr small = q->AddDownload("bob", "clip.bin", "m", clip.size(), 0);
    QVERIFY(Dropped("bob", 4, "m\\clip.bin", clip));
    QVERIFY(QFileInfo(Downloading("m/clip.bin")).size() > shorter.size());
    ScriptedPeer again;
    QVERIFY(again.Open(m_fixture.mp_messenger, "bob"));
    QVERIFY(Offer(again, 5, "m\\clip.bin", shorter.size()));
    QCOMPARE(Transfer(5, shorter), qint64(0));
    QVERIFY2(WaitStatus(small, "complete"), Status(small).c_str());
    QCOMPARE(ReadAll(Complete("m/clip.bin")), shorter);
    QCOMPARE(Tree(Root()), QStringList({"complete", "complete/m", "complete/m/clip.bin", "complete/m/song.bin",
                                        "downloading"}));
}

// Bob's four files in one folder: two Latin-1 names that only a byte tells
// apart, a name holding "/", and a name of 274 bytes. Each arrives
// byte-exact in a file of its own, none mixed with another; a name that
// cleaning makes the same as an earlier one takes the next free name. A
// second source of the same wire name and size resumes the partial file.
void TestDownloadConnection::distinctWireNamesStayDistinct()
{
    TransferQueueManager* q = m_fixture.mp_queue;
    const QByteArray e = Random(300000);
    const QByteArray f = Random(300000);
    const QByteArray slash = Random(70000);
    const QByteArray wide = Random(50000);
    QByteArray longName;
    for (int k = 0; k < 90; ++k)
        longName += "\xe6\x97\xa5";
    longName += ".bin";
    ItemPtr acute = q->AddDownload("bob", "caf\xe9.bin", "music\\rock", e.size(), 0);
    ItemPtr grave = q->AddDownload("bob", "caf\xe8.bin", "music\\rock", f.size(), 0);
    ItemPtr acdc = q->AddDownload("bob", "AC/DC.bin", "music\\rock", slash.size(), 0);
    ItemPtr shortened = q->AddDownload("bob", longName.toStdString(), "music\\rock", wide.size(), 0);

    QVERIFY(Dropped("bob", 1, "music\\rock\\caf\xe9.bin", e, 120000));
    const qint64 kept = QFileInfo(Downloading(QString::fromUtf8("rock/caf\u00e9.bin"))).size();
    QVERIFY(kept > 0);
    ScriptedPeer bob;
    QVERIFY(bob.Open(m_fixture.mp_messenger, "bob"));
    QVERIFY(Offer(bob, 2, "music\\rock\\caf\xe8.bin", f.size()));
    QCOMPARE(Transfer(2, f), qint64(0));
    // Split at the last "\" only: the name holds the "/".
    bob.Send(Frame(PM_UPLOAD_PLACE_IN_LINE, Str("music\\rock\\AC/DC.bin") + U32(6)));
    QVERIFY(Offer(bob, 3, "music\\rock\\AC/DC.bin", slash.size()));
    QCOMPARE(acdc["place_in_line"].AsString(), std::string("6"));
    QCOMPARE(Transfer(3, slash), qint64(0));
    QVERIFY(Offer(bob, 4, "music\\rock\\" + longName, wide.size()));
    QCOMPARE(Transfer(4, wide), qint64(0));
    for (ItemPtr done : {grave, acdc, shortened})
        QVERIFY2(WaitStatus(done, "complete"), Status(done).c_str());

    // Another user's file of the same wire name and size is the same file.
    ItemPtr carols = q->AddDownload("carol", "caf\xe9.bin", "music\\rock", e.size(), 0);
    ScriptedPeer carol;
    QVERIFY(carol.Open(m_fixture.mp_messenger, "carol"));
    QVERIFY(Offer(carol, 5, "music\\rock\\caf\xe9.bin", e.size()));
    QCOMPARE(Transfer(5, e, "carol"), kept);
    QVERIFY2(WaitStatus(carols, "complete"), Status(carols).c_str());

    // "AC_DC.bin" is another file that cleaning names alike.
    const QByteArray underscore = Random(70000);
    ItemPtr alike = q->AddDownload("bob", "AC_DC.bin", "music\\rock", underscore.size(), 0);
    QCOMPARE(Status(alike), std::string("queued"));
    QVERIFY(Offer(bob, 6, "music\\rock\\AC_DC.bin", underscore.size()));
    QCOMPARE(Transfer(6, underscore), qint64(0));
    QVERIFY2(WaitStatus(alike, "complete"), Status(alike).c_str());

    const QString cut = QString(83, QChar(0x65e5)) + ".bin";
    QCOMPARE(Sha(ReadAll(Complete(QString::fromUtf8("rock/caf\u00e9.bin")))), Sha(e));
    QCOMPARE(Sha(ReadAll(Complete(QString::fromUtf8("rock/caf\u00e8.bin")))), Sha(f));
    QCOMPARE(Sha(ReadAll(Complete("rock/AC_DC.bin"))), Sha(slash));
    QCOMPARE(Sha(ReadAll(Complete("rock/AC_DC (2).bin"))), Sha(underscore));
    QCOMPARE(Sha(ReadAll(Complete("rock/" + cut))), Sha(wide));
    QCOMPARE(Tree(Root() + "/complete/rock").size(), 5);
    QCOMPARE(m_fixture.Logged("too long a name for the file system, saved as " + Complete("rock/" + cut)), 1);
    QVERIFY(q->GetDownloadTargetPath(shortened, true).endsWith("\\" + cut));
}

QTEST_MAIN(TestDownloadConnection)
#include "test_download_connection.moc"
