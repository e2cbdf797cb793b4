// The local share on real folders: the walk into store items, rescans with
// their added and removed counts, the token index, links that loop, odd
// names, unsharing, and the state file round trip.

#include "SharesTestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cctype>
#include <random>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace sharestest;

namespace
{

QList<int> Counts(const QSignalSpy& i_spy)
{
    const QList<QVariant> args = i_spy.last();
    return {args[0].toInt(), args[1].toInt()};
}

QStringList ScanRequests(const QSignalSpy& i_spy)
{
    QStringList files;
    for (const QList<QVariant>& args : i_spy)
        files << args[0].toString();
    files.sort();
    return files;
}

} // namespace

class TestSharedFolders : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void walkTurnsFilesIntoItems();
    void unchangedRescanChangesNothing();
    void rescanFollowsChangesOnDisk();
    void resizedFileGetsNewSizeAndIsScannedAgain();
    void scanRequestsFollowTheScannedFlag();
    void sameNameInTwoFolders();
    void removedFilesAreReportedOnce();
    void folderInTwoSharesIsOneItem();
    void unsharingRemovesFilesAtOnce();
    void tokenIndexFollowsPathAndName();
    void tokensFollowTheRuleForAnyName();
    void linkLoopsAreNotFollowed();
    void onlyWhatCanBeSentIsListed();
    void largeTreeIsWalkedInOrder();
    void vanishedShareLosesItsFiles();
    void unreadableFolderListsNothing();
    void specialEntriesAreSkipped();
    void oddNamesAreShared();
    void nameThatIsNotUtf8IsSkipped();
    void relativeShareIsRefused();
    void pathLookupIgnoresCaseAndPrefersExactCase();
    void stateFileRoundTrip();

private:
    std::unique_ptr<Environment> mp_env;
    std::unique_ptr<QTemporaryDir> mp_dir;
    QString m_root;
};

void TestSharedFolders::init()
{
    mp_env = std::make_unique<Environment>();
    mp_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(mp_dir->isValid());
    m_root = mp_dir->path() + "/Share";
    QDir().mkpath(m_root);
}

void TestSharedFolders::cleanup()
{
    // Give back what a case took away, so that the folder can go.
    QFile::setPermissions(m_root + "/Locked", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir::setCurrent(QDir::tempPath());
    mp_dir.reset();
    mp_env.reset();
}

void TestSharedFolders::walkTurnsFilesIntoItems()
{
    MakeFile(m_root + "/a.txt", 3);
    MakeFile(m_root + "/Sub/b.mp3", 1000);
    MakeFile(m_root + "/Sub/Deeper/c.MP3", 1000);
    MakeFile(m_root + "/Sub/Deeper/.mp3", 1);
    MakeFile(m_root + "/Sub/song.Mp3", 1);
    MakeFile(m_root + "/Sub/song.mp3 ", 1);
    MakeFile(m_root + "/.hidden", 1);
    MakeFile(m_root + "/.hiddendir/x.txt", 1);
    QDir().mkpath(m_root + "/Empty");

    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    QCOMPARE(rescans.count(), 1);
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));   // nothing shared yet

    ItemPtr share = Share(m_root);   // walked at once by the handler
    QCOMPARE(rescans.count(), 1);    // ... which reports nothing
    // Hidden entries (".mp3" among them) are not shared.
    QCOMPARE(T("shared_file")->ItemCount(), size_t(5));
    QCOMPARE(T("shared_file_folder")->ItemCount(), size_t(4));
    for (const QString& folder : {m_root, m_root + "/Sub", m_root + "/Sub/Deeper", m_root + "/Empty"})
        QVERIFY2(FolderItem(folder).IsConnected(share), qPrintable(folder));
    QVERIFY(FolderItem(m_root + "/Empty").GetItems("shared_file").empty());
    QVERIFY(!FolderItem(m_root + "/.hiddendir"));

    ItemPtr a = FileItem(m_root, "a.txt");
    QVERIFY(a);
    QCOMPARE(a["shared_file_size"].AsString(), std::string("3"));
    QCOMPARE(a["shared_file_name"]["shared_file_lowercase_name"].AsString(), std::string("a.txt"));
    QCOMPARE(FolderItem(m_root + "/Sub/Deeper")["shared_file_folder_lowercase_name"].AsString(),
             U8((m_root + "/sub/deeper").toLower()));

    // Only names that end exactly in ".mp3" or ".MP3" after at least one
    // more byte are sent to the scanner.
    QCOMPARE(ScanRequests(scans), (QStringList{m_root + "/Sub/Deeper/c.MP3", m_root + "/Sub/b.mp3"}));
}

void TestSharedFolders::unchangedRescanChangesNothing()
{
    MakeFile(m_root + "/x/one.mp3");
    MakeFile(m_root + "/x/two.txt");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);
    ItemPtr one = FileItem(m_root + "/x", "one.mp3");
    ItemPtr two = FileItem(m_root + "/x", "two.txt");
    // A stored scan result.
    one += T("bitrate")->GetItem("192");
    one += T("is_scanned")->GetGlobalNullItem();

    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
    QCOMPARE(FileItem(m_root + "/x", "one.mp3"), one);
    QCOMPARE(FileItem(m_root + "/x", "two.txt"), two);
    QCOMPARE(one["bitrate"].AsString(), std::string("192"));
    QCOMPARE(scans.count(), 0);   // scanned already
}

void TestSharedFolders::rescanFollowsChangesOnDisk()
{
    MakeFile(m_root + "/keep.txt");
    MakeFile(m_root + "/gone.txt");
    MakeFile(m_root + "/Old Name.txt");
    for (int k = 0; k < 12; ++k)
        MakeFile(m_root + QString("/Doomed/f%1.txt").arg(k));
    for (int k = 0; k < 3; ++k)
        MakeFile(m_root + QString("/Before/g%1.txt").arg(k));
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);
    QCOMPARE(T("shared_file")->ItemCount(), size_t(18));
    ItemPtr keep = FileItem(m_root, "keep.txt");

    QVERIFY(QFile::remove(m_root + "/gone.txt"));
    QVERIFY(QFile::rename(m_root + "/Old Name.txt", m_root + "/New Name.txt"));
    QVERIFY(QDir(m_root + "/Doomed").removeRecursively());
    QVERIFY(QDir().rename(m_root + "/Before", m_root + "/After"));
    MakeFile(m_root + "/After/Inner/new.txt");

    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    // removed: gone, Old Name, 12 of Doomed, 3 of Before;
    // added: New Name, 3 in After, 1 in After/Inner.
    QCOMPARE(Counts(rescans), (QList<int>{5, 17}));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(6));
    QCOMPARE(FileItem(m_root, "keep.txt"), keep);
    QVERIFY(FileItem(m_root, "New Name.txt"));
    QVERIFY(FileItem(m_root + "/After/Inner", "new.txt"));

    // Nothing of what left is still in the store: no folder, name or token.
    QVERIFY(!FolderItem(m_root + "/Doomed"));
    QVERIFY(!FolderItem(m_root + "/Before"));
    QVERIFY(!T("shared_file_folder_lowercase_name")->HasItem(U8((m_root + "/doomed").toLower())));
    QVERIFY(!T("shared_file_name")->HasItem("gone.txt"));
    QVERIFY(!T("shared_file_name")->HasItem("f7.txt"));
    QVERIFY(!T("search_token")->HasItem("doomed"));
    QVERIFY(!T("search_token")->HasItem("f7"));
    QVERIFY(!T("search_token")->HasItem("old"));
    QVERIFY(T("search_token")->HasItem("new"));
    QVERIFY(!m->GetSharedFileItem(U8(m_root + "/Doomed/f7.txt")));
}

void TestSharedFolders::resizedFileGetsNewSizeAndIsScannedAgain()
{
    MakeFile(m_root + "/song.mp3", 100);
    MakeFile(m_root + "/other.mp3", 100);
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);
    ItemPtr song = FileItem(m_root, "song.mp3");
    ItemPtr other = FileItem(m_root, "other.mp3");
    QCOMPARE(song["shared_file_size"], other["shared_file_size"]);   // one size item
    for (ItemPtr f : {song, other})
    {
        f += T("bitrate")->GetItem("128");
        f += T("is_scanned")->GetGlobalNullItem();
    }

    MakeFile(m_root + "/song.mp3", 5000);
    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));   // the same file, not a new one
    QCOMPARE(FileItem(m_root, "song.mp3"), song);
    QCOMPARE(song["shared_file_size"].AsString(), std::string("5000"));
    QCOMPARE(other["shared_file_size"].AsString(), std::string("100"));
    // Its old scan no longer describes it; the other file keeps its own.
    QVERIFY(!song.IsConnected("is_scanned"));
    QVERIFY(other.IsConnected("is_scanned"));
    QCOMPARE(ScanRequests(scans), QStringList{m_root + "/song.mp3"});
}

void TestSharedFolders::scanRequestsFollowTheScannedFlag()
{
    MakeFile(m_root + "/never.mp3");
    MakeFile(m_root + "/old.mp3");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    Share(m_root);
    QCOMPARE(ScanRequests(scans), (QStringList{m_root + "/never.mp3", m_root + "/old.mp3"}));
    ItemPtr old = FileItem(m_root, "old.mp3");
    old += T("is_scanned")->GetGlobalNullItem();

    // A file whose scan found nothing (no flag) is asked for on every walk,
    // also when no result of the earlier request has come back yet.
    scans.clear();
    m->RescanShares();
    QCOMPARE(ScanRequests(scans), QStringList{m_root + "/never.mp3"});
    scans.clear();
    m->RescanShares();
    QCOMPARE(ScanRequests(scans), QStringList{m_root + "/never.mp3"});

    // A renamed file is a new one: one removed, one added, scanned anew.
    QVERIFY(QFile::rename(m_root + "/old.mp3", m_root + "/new.mp3"));
    scans.clear();
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{1, 1}));
    QCOMPARE(ScanRequests(scans), (QStringList{m_root + "/never.mp3", m_root + "/new.mp3"}));
    QVERIFY(!FileItem(m_root, "new.mp3").IsConnected("is_scanned"));
}

void TestSharedFolders::sameNameInTwoFolders()
{
    MakeFile(m_root + "/A/cover.jpg", 1);
    MakeFile(m_root + "/B/cover.jpg", 2);
    mp_env->Manager()->Init();
    Share(m_root);
    ItemPtr a = FileItem(m_root + "/A", "cover.jpg");
    ItemPtr b = FileItem(m_root + "/B", "cover.jpg");
    QVERIFY(a && b && a != b);
    QCOMPARE(T("shared_file_name")->ItemCount(), size_t(1));
    QCOMPARE(a["shared_file_name"], b["shared_file_name"]);
    QCOMPARE(a["shared_file_size"].AsString(), std::string("1"));
    QCOMPARE(b["shared_file_size"].AsString(), std::string("2"));
}

void TestSharedFolders::removedFilesAreReportedOnce()
{
    // A removed file whose name and tokens other files still use stays
    // reachable for the sweep; it must still go, and be counted once.
    MakeFile(m_root + "/A/cover.jpg");
    MakeFile(m_root + "/B/cover.jpg");
    MakeFile(m_root + "/A/song.mp3");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);
    ItemPtr song = FileItem(m_root + "/A", "song.mp3");
    // A received share list uses the same bitrate item as the local file.
    song += T("bitrate")->GetItem("320");
    ItemPtr remote = T("user_share_file")->NewItem();
    remote += T("bitrate")->GetItem("320");
    ItemPtr share = ItemPtr(T("user")->GetItem("peer")).NewItem("user_share");
    ItemPtr remoteFolder = share.NewItem("user_share_folder");
    remoteFolder += remote;

    QVERIFY(QDir(m_root + "/A").removeRecursively());
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 2}));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(1));
    QVERIFY(!m->GetSharedFileItem(U8(m_root + "/A/song.mp3")));
    QVERIFY(remote["bitrate"]);   // the other user's file is untouched

    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));

    // A folder item left without a share by other means counts once, too.
    ItemPtr stray = T("shared_file_folder")->GetItem("/nowhere");
    ItemPtr strayFile = T("shared_file")->NewItem();
    strayFile += stray;
    strayFile += T("shared_file_name")->GetItem("cover.jpg");
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 1}));
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
}

void TestSharedFolders::folderInTwoSharesIsOneItem()
{
    MakeFile(m_root + "/Inner/x.txt");
    MakeFile(m_root + "/top.txt");
    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    ItemPtr outer = Share(m_root);
    ItemPtr inner = Share(m_root + "/Inner");
    ItemPtr folder = FolderItem(m_root + "/Inner");
    QVERIFY(folder.IsConnected(outer));
    QVERIFY(folder.IsConnected(inner));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(2));
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
    QVERIFY(folder.IsConnected(outer) && folder.IsConnected(inner));
}

void TestSharedFolders::unsharingRemovesFilesAtOnce()
{
    MakeFile(m_root + "/top.txt");
    MakeFile(m_root + "/Inner/x.txt");
    MakeFile(m_root + "/Inner/Deep/y.txt");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    ItemPtr outer = Share(m_root);
    Share(m_root + "/Inner");
    ItemPtr top = FileItem(m_root, "top.txt");
    QVERIFY(top);

    // As the toolbar's "unshare" does: remove the item, then sweep.
    outer.Remove();
    d->RemoveDisconnectedItems();
    QVERIFY(!FolderItem(m_root));
    QVERIFY(!m->GetSharedFileItem(U8(m_root + "/top.txt")));
    QVERIFY(!T("search_token")->HasItem("top"));
    // What the other share still holds stays.
    QVERIFY(FileItem(m_root + "/Inner", "x.txt"));
    QVERIFY(FileItem(m_root + "/Inner/Deep", "y.txt"));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(2));

    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
}

void TestSharedFolders::tokenIndexFollowsPathAndName()
{
    // The worked example of the token rule.
    const std::set<std::string> expected{"home", "user", "music", "some", "band", "album", "01", "first",
                                         "song", "mp3", "-", "song.mp3"};
    QCOMPARE(SharedFoldersManager::GetSearchTokens("/home/user/Music/Some Band - Album\\01 - First Song.mp3"),
             expected);
    QVERIFY(SharedFoldersManager::IsSearchTokenSeparator('_'));
    QVERIFY(SharedFoldersManager::IsSearchTokenSeparator(0x7f));
    QVERIFY(!SharedFoldersManager::IsSearchTokenSeparator('Z'));
    QVERIFY(!SharedFoldersManager::IsSearchTokenSeparator('7'));
    QVERIFY(!SharedFoldersManager::IsSearchTokenSeparator(0x80));
    QVERIFY(!SharedFoldersManager::IsSearchTokenSeparator(0xff));

    MakeFile(m_root + "/Some Band - Album/01 - First Song.mp3");
    MakeFile(m_root + QString::fromUtf8("/Caf\xc3\xa9/\xc3\x9c" "ber_Track.OGG"));
    mp_env->Manager()->Init();
    Share(m_root);
    ItemPtr song = FileItem(m_root + "/Some Band - Album", "01 - First Song.mp3");
    for (const char* token : {"some", "band", "-", "album", "01", "first", "song", "mp3", "song.mp3", "share"})
        QVERIFY2(HasToken(song, token), token);
    // Components above the share's root are indexed as well.
    for (const QString& part : QDir::cleanPath(mp_dir->path()).toLower().split('/', Qt::SkipEmptyParts))
        QVERIFY2(HasToken(song, U8(part)), qPrintable(part));
    QVERIFY(!HasToken(song, "Some"));

    // Bytes of 0x80 and above stay inside tokens and keep their case.
    ItemPtr other = FileItem(m_root + QString::fromUtf8("/Caf\xc3\xa9"), QString::fromUtf8("\xc3\x9c" "ber_Track.OGG"));
    QVERIFY(other);
    for (const char* token : {"caf\xc3\xa9", "\xc3\x9c" "ber", "track", "ogg", "\xc3\x9c" "ber_track.ogg"})
        QVERIFY2(HasToken(other, token), token);
    QVERIFY(!HasToken(song, "caf\xc3\xa9"));
}

// The token rule written plainly: in the lower-cased text, the runs of
// letters, digits and bytes of 0x80 and above, and the runs between spaces
// and path separators.
std::set<std::string> RuleTokens(std::string i_text)
{
    for (char& c : i_text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    std::set<std::string> tokens;
    for (const bool words : {true, false})
    {
        std::string run;
        for (const char c : i_text + ' ')
        {
            const bool inRun = words ? !SharedFoldersManager::IsSearchTokenSeparator(static_cast<unsigned char>(c))
                                     : c != ' ' && c != '/' && c != '\\';
            if (inRun)
                run += c;
            else if (!run.empty())
                tokens.insert(std::exchange(run, std::string()));
        }
    }
    return tokens;
}

void TestSharedFolders::tokensFollowTheRuleForAnyName()
{
    std::mt19937 random(11);
    const std::vector<std::string> pieces{"a", "B", "7", " ", "-", ".", "_", "\xc3\xa9", "Ab", "ab", "x1"};
    const auto randomName = [&](size_t i_length) {
        std::string name;
        for (size_t k = 0; k < i_length; ++k)
            name += pieces[random() % pieces.size()];
        return name;
    };
    for (int k = 0; k < 500; ++k)
    {
        std::string text = randomName(random() % 12);
        text.insert(text.size() / 2, random() % 2 ? "/" : "\\");
        QCOMPARE(SharedFoldersManager::GetSearchTokens(text), RuleTokens(text));
    }

    // The walk links each file to the tokens of its folder and name, the
    // two worked out apart and merged.
    for (int k = 0; k < 40; ++k)
    {
        const std::string folder = "/" + randomName(random() % 4) + "d/" + randomName(random() % 4) + "d";
        const std::string name = randomName(1 + random() % 8) + "z";
        MakeFile(m_root + QString::fromStdString(folder + "/" + name));
    }
    mp_env->Manager()->Init();
    Share(m_root);
    QVERIFY(g("shared_file").size() >= 30);
    for (Item* file : g("shared_file"))
    {
        std::set<std::string> linked;
        for (Item* token : ItemPtr(file).GetItems("search_token"))
            linked.insert(token->GetValue());
        const std::string path = ItemPtr(file)["shared_file_folder"].AsString() + "/" +
                                 ItemPtr(file)["shared_file_name"].AsString();
        QCOMPARE(linked, RuleTokens(path));
    }
}

void TestSharedFolders::linkLoopsAreNotFollowed()
{
    MakeFile(m_root + "/A/a.txt");
    MakeFile(m_root + "/C/c.txt");
    MakeFile(m_root + "/Outside.txt");
    QVERIFY(QFile::link(m_root, m_root + "/A/back_to_root"));
    QVERIFY(QFile::link(".", m_root + "/A/self"));
    QVERIFY(QFile::link("../A", m_root + "/C/to_a"));   // a sibling: no loop
    QVERIFY(QFile::link(m_root + "/Outside.txt", m_root + "/C/file_link.txt"));

    LogCapture log("Shared");
    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    Share(m_root);

    // The loops are cut where they lead back, and the sibling link where it
    // leads to a folder shared already; a link to a file is a file.
    QVERIFY(!FolderItem(m_root + "/A/back_to_root"));
    QVERIFY(!FolderItem(m_root + "/A/self"));
    QVERIFY(!FolderItem(m_root + "/C/to_a"));
    QVERIFY(FileItem(m_root + "/A", "a.txt"));
    QVERIFY(FileItem(m_root + "/C", "file_link.txt"));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(4));
    QCOMPARE(log.Count("Not following"), 3);

    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
}

// A chain of real folders each linking twice to the next lists each folder
// once, under the first path that reaches it; files that could not be sent
// are left out, with one line per scan that counts them; a shared MP3 file
// turned into a FIFO holds up neither the scanner nor the walk.
void TestSharedFolders::onlyWhatCanBeSentIsListed()
{
    const int levels = 12;
    auto level = [&](int i_k) { return QString("L%1").arg(i_k, 2, 10, QChar('0')); };
    for (int k = 0; k < levels; ++k)
    {
        MakeFile(m_root + "/" + level(k) + QString("/f%1.txt").arg(k));
        if (k + 1 < levels)
            for (const char* link : {"/a", "/b"})
                QVERIFY(QFile::link("../" + level(k + 1), m_root + "/" + level(k) + link));
    }
    const QString odd = m_root + "/Odd";
    MakeFile(odd + "/readable.txt");
    MakeFile(odd + "/locked.txt");
    MakeFile(odd + "/back\\slash.txt");
    MakeFile(odd + "/Dir\\name/inside.txt");
    QByteArray frames;
    for (int k = 0; k < 20; ++k)
        frames += QByteArray("\xff\xfb\x90\x64", 4) + QByteArray(413, '\0');
    for (const char* name : {"/real.mp3", "/song.mp3"})
    {
        QFile f(odd + name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(frames) == frames.size());
    }
    const QByteArray raw = QFile::encodeName(odd) + "/bad\xff.txt";
    const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);
    QVERIFY(QFile::setPermissions(odd + "/locked.txt", QFileDevice::Permissions()));
    const bool readsAnything = ::access(QFile::encodeName(odd + "/locked.txt").constData(), R_OK) == 0;
    if (readsAnything)
        qInfo("running with privileges that read any file: the unreadable file is listed");

    LogCapture log("Shared");
    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    Share(m_root);

    QString deepest = m_root + "/" + level(0);
    for (int k = 1; k < levels; ++k)
    {
        deepest += "/a";
        QVERIFY2(FileItem(deepest, QString("f%1.txt").arg(k)), qPrintable(deepest));
        QVERIFY(!FolderItem(m_root + "/" + level(k)));
        QVERIFY(!FolderItem(deepest.chopped(1) + "b"));
    }
    QCOMPARE(T("shared_file_folder")->ItemCount(), size_t(1 + levels + 1));
    QCOMPARE(log.Count("Not following"), 2 * (levels - 1));
    QVERIFY(FileItem(odd, "readable.txt"));
    QCOMPARE(bool(FileItem(odd, "locked.txt")), readsAnything);
    QVERIFY(!FileItem(odd, "back\\slash.txt"));
    QVERIFY(!FolderItem(odd + "/Dir\\name"));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(levels + 3 + (readsAnything ? 1 : 0)));
    const QString leftOut = QString("Left out of the share: %1 unreadable files, 2 names holding \"\\\", 1 names that are "
                                    "not valid UTF-8")
                                .arg(readsAnything ? 0 : 1);
    QCOMPARE(log.Count(leftOut), 1);

    // Once scanned, the MP3 file becomes a FIFO: asked to scan it, the
    // scanner goes on to the next request at once.
    ItemPtr real = FileItem(odd, "real.mp3");
    QTRY_VERIFY(real["is_scanned"] && FileItem(odd, "song.mp3")["is_scanned"]);
    QVERIFY(QFile::remove(odd + "/song.mp3"));
    QCOMPARE(::mkfifo(QFile::encodeName(odd + "/song.mp3").constData(), 0600), 0);
    real.Disconnect("is_scanned");
    emit m->MP3ScanRequired(odd + "/song.mp3");
    emit m->MP3ScanRequired(odd + "/real.mp3");
    QTRY_VERIFY(real["is_scanned"]);

    // A rescan: the same, less the FIFO, and one more line on what it left out.
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 1}));
    QCOMPARE(log.Count(leftOut), 2);
    QCOMPARE(T("shared_file_folder")->ItemCount(), size_t(1 + levels + 1));
    ::unlink(raw.constData());
}

void TestSharedFolders::largeTreeIsWalkedInOrder()
{
    // More entries than the walk reads ahead of itself, and a link to a
    // folder, which only the walk itself decides to enter.
    QStringList expected{m_root};
    int files = 0;
    for (int a = 0; a < 30; ++a)
    {
        const QString top = m_root + QString("/T%1").arg(a, 2, 10, QChar('0'));
        expected << top;
        for (int b = 0; b < 12; ++b)
        {
            const QString sub = top + QString("/S%1").arg(b, 2, 10, QChar('0'));
            expected << sub;
            for (int f = 0; f < 25; ++f, ++files)
                MakeFile(sub + QString("/%1.mp3").arg(f, 2, 10, QChar('0')), 1);
        }
    }
    const QString outside = mp_dir->path() + "/Outside";
    for (int f = 0; f < 25; ++f)
        MakeFile(outside + QString("/%1.mp3").arg(f, 2, 10, QChar('0')), 1);
    QVERIFY(QFile::link(outside, m_root + "/T29/Z link"));
    expected << m_root + "/T29/Z link";

    LogCapture log("Shared");
    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    Share(m_root);

    // Every folder once, depth first in listing order, and every file.
    QStringList walked;
    for (const QString& line : log.Lines())
        if (line.startsWith("Adding folder "))
            walked << line.mid(14, line.indexOf(" as part of sharing") - 14);
    QCOMPARE(walked, expected);
    QCOMPARE(T("shared_file")->ItemCount(), size_t(files + 25));
    QCOMPARE(scans.count(), files + 25);
    QCOMPARE(scans.at(1).at(0).toString(), m_root + "/T00/S00/01.mp3");
    QCOMPARE(scans.last().at(0).toString(), m_root + "/T29/Z link/24.mp3");

    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
}

void TestSharedFolders::vanishedShareLosesItsFiles()
{
    MakeFile(m_root + "/a.txt");
    MakeFile(m_root + "/Sub/b.txt");
    MakeFile(m_root + "/Sub/c.txt");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    ItemPtr share = Share(m_root);
    QVERIFY(QDir(m_root).removeRecursively());

    LogCapture log("Shared");
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 3}));
    QCOMPARE(T("shared_file")->ItemCount(), size_t(0));
    // The share and its root folder item stay; the sub-folder goes.
    QVERIFY(FolderItem(m_root).IsConnected(share));
    QVERIFY(!FolderItem(m_root + "/Sub"));
    // The walk's own line is the only trace of a folder that is gone.
    QCOMPARE(log.Lines(), QStringList{"Adding folder " + m_root + " as part of sharing " + m_root});

    // Back on disk: found again.
    MakeFile(m_root + "/Sub/b.txt");
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{1, 0}));
}

void TestSharedFolders::unreadableFolderListsNothing()
{
    MakeFile(m_root + "/open.txt");
    MakeFile(m_root + "/Locked/secret.txt");
    MakeFile(m_root + "/Locked/Deeper/more.txt");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);
    QCOMPARE(T("shared_file")->ItemCount(), size_t(3));

    QVERIFY(QFile::setPermissions(m_root + "/Locked", QFileDevice::Permissions()));
    if (QFileInfo(m_root + "/Locked").isReadable() && QDir(m_root + "/Locked").entryList(QDir::Files).size() == 1)
        QSKIP("running with privileges that read any folder");

    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->RescanShares();
    QCOMPARE(Counts(rescans), (QList<int>{0, 2}));
    QVERIFY(FileItem(m_root, "open.txt"));
    QVERIFY(FolderItem(m_root + "/Locked"));
    QVERIFY(!FolderItem(m_root + "/Locked/Deeper"));
}

void TestSharedFolders::specialEntriesAreSkipped()
{
    MakeFile(m_root + "/plain.txt");
    QVERIFY(QFile::link(m_root + "/missing", m_root + "/dangling"));
    QCOMPARE(::mkfifo(QFile::encodeName(m_root + "/pipe").constData(), 0600), 0);
    mp_env->Manager()->Init();
    Share(m_root);
    QCOMPARE(T("shared_file")->ItemCount(), size_t(1));
    QVERIFY(!FileItem(m_root, "dangling"));
    QVERIFY(!FileItem(m_root, "pipe"));
}

void TestSharedFolders::oddNamesAreShared()
{
    const QString spaced = "  two  spaces .txt";
    const QString odd = "odd [name] #1 (copy).mp3";
    const QString longName = QString(120, QChar(0xe9)) + ".txt";   // 245 bytes in UTF-8
    const QString folder = m_root + "/Dir With ; and " + QString::fromUtf8("\xe2\x82\xac");
    for (const QString& name : {spaced, odd, longName})
        MakeFile(folder + "/" + name, 7);

    SharedFoldersManager* m = mp_env->Manager();
    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    m->Init();
    Share(m_root);
    for (const QString& name : {spaced, odd, longName})
    {
        ItemPtr file = FileItem(folder, name);
        QVERIFY2(file, qPrintable(name));
        QCOMPARE(file["shared_file_size"].AsString(), std::string("7"));
        // Found again by its local path, as the scanner and uploads ask.
        QCOMPARE(m->GetSharedFileItem(U8(folder + "/" + name)), file);
    }
    QCOMPARE(ScanRequests(scans), QStringList{folder + "/" + odd});
    QVERIFY(HasToken(FileItem(folder, spaced), "spaces"));
    QVERIFY(HasToken(FileItem(folder, odd), "copy"));
}

void TestSharedFolders::nameThatIsNotUtf8IsSkipped()
{
    // Such a name could not be opened again through its decoded form; the
    // listing leaves it out.
    MakeFile(m_root + "/fine.txt");
    const QByteArray raw = QFile::encodeName(m_root) + "/bad\xff\xfename.txt";
    const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);

    mp_env->Manager()->Init();
    Share(m_root);
    ::unlink(raw.constData());
    QCOMPARE(T("shared_file")->ItemCount(), size_t(1));
    QVERIFY(FileItem(m_root, "fine.txt"));
}

void TestSharedFolders::relativeShareIsRefused()
{
    QDir::setCurrent(m_root);
    MakeFile(m_root + "/here.txt");
    LogCapture log("Shared");
    mp_env->Manager()->Init();
    T("shared_folder")->GetItem("");
    T("shared_folder")->GetItem("Share");
    QCOMPARE(T("shared_file")->ItemCount(), size_t(0));
    QCOMPARE(T("shared_file_folder")->ItemCount(), size_t(0));
    QCOMPARE(log.Count("not an absolute path"), 2);
}

void TestSharedFolders::pathLookupIgnoresCaseAndPrefersExactCase()
{
    const QString music = m_root + "/Music";
    MakeFile(music + "/A.MP3");
    MakeFile(music + "/Pair/x.txt");
    MakeFile(music + "/Pair/X.txt");
    SharedFoldersManager* m = mp_env->Manager();
    m->Init();
    Share(m_root);

    ItemPtr a = FileItem(music, "A.MP3");
    const QString lowerMusic = m_root.toLower() + "/music";
    QCOMPARE(m->GetSharedFileItem(U8(lowerMusic + "//a.mp3")), a);
    QCOMPARE(m->GetSharedFileItem(U8(m_root.toUpper() + "/MUSIC/A.mp3/")), a);
    QString wire = music + "/A.MP3";
    wire.replace('/', '\\');
    QVERIFY(!m->GetSharedFileItem(U8(wire)));
    QVERIFY(!m->GetSharedFileItem(U8(music + "/missing.mp3")));
    QVERIFY(!m->GetSharedFileItem(""));

    // Two names that differ only in case: the exactly written one wins,
    // whichever was created first; other spellings get one of them.
    ItemPtr lower = FileItem(music + "/Pair", "x.txt");
    ItemPtr upper = FileItem(music + "/Pair", "X.txt");
    QVERIFY(lower && upper && lower != upper);
    QCOMPARE(m->GetSharedFileItem(U8(music + "/Pair/x.txt")), lower);
    QCOMPARE(m->GetSharedFileItem(U8(music + "/Pair/X.txt")), upper);
    QCOMPARE(m->GetSharedFileItem(U8(music + "//Pair//X.txt/")), upper);
    const ItemPtr either = m->GetSharedFileItem(U8(m_root + "/MUSIC/PAIR/x.txt"));
    QVERIFY(either == lower || either == upper);

    // A file directly in "/" (whose folder normalises to ""): found by its
    // path, never by its bare name.
    ItemPtr top = T("shared_file")->NewItem();
    top += T("shared_file_folder")->GetItem("/");
    top += T("shared_file_name")->GetItem("A.MP3");
    QCOMPARE(m->GetSharedFileItem("/a.mp3"), top);
    QVERIFY(!m->GetSharedFileItem("a.mp3"));
    QVERIFY(!m->GetSharedFileItem("A.MP3"));
}

void TestSharedFolders::stateFileRoundTrip()
{
    MakeFile(m_root + "/Album/track.mp3", 4096);
    MakeFile(m_root + "/notes.txt", 5);
    const QString stateFile = mp_dir->path() + "/state";
    {
        SharedFoldersManager* m = mp_env->Manager();
        m->Init();
        ItemPtr share = Share(m_root);
        share += T("shared_public")->GetGlobalNullItem();
        ItemPtr track = FileItem(m_root + "/Album", "track.mp3");
        track += T("bitrate")->GetItem("192");
        track += T("bitrate_mode")->GetItem("cbr");
        track += T("is_scanned")->GetGlobalNullItem();
        ItemPtr(T("user")->GetItem("banned")).NewItem("unshared");
        T("user")->GetItem("someone");
        mp_env->Saver()->Save(QFile::encodeName(stateFile).constData());
    }

    // A new run: types first, then the load, then Init.
    mp_env.reset();
    mp_env = std::make_unique<Environment>();
    SharedFoldersManager* m = mp_env->Manager();
    mp_env->Saver()->Load(QFile::encodeName(stateFile).constData());
    ItemPtr share = T("shared_folder")->HasItem(U8(m_root));
    QVERIFY(share.IsConnected("shared_public"));
    ItemPtr track = FileItem(m_root + "/Album", "track.mp3");
    QVERIFY(track);
    QCOMPARE(track["shared_file_size"].AsString(), std::string("4096"));
    QCOMPARE(track["bitrate"].AsString(), std::string("192"));
    QVERIFY(track.IsConnected("is_scanned"));
    QCOMPARE(m->GetFileItemDisplayString(track), QString("192 CBR"));
    QVERIFY(ItemPtr(T("user")->HasItem("banned")).IsConnected("unshared"));
    QVERIFY(!T("user")->HasItem("someone"));
    // Lower-case names are rebuilt by the load; tokens wait for the rescan.
    QCOMPARE(m->GetSharedFileItem(U8(m_root.toLower() + "/album/track.mp3")), track);
    QCOMPARE(T("search_token")->ItemCount(), size_t(0));

    QSignalSpy scans(m, &SharedFoldersManager::MP3ScanRequired);
    QSignalSpy rescans(m, &SharedFoldersManager::SharedFilesRescanned);
    m->Init();
    QCOMPARE(Counts(rescans), (QList<int>{0, 0}));
    QCOMPARE(FileItem(m_root + "/Album", "track.mp3"), track);
    QVERIFY(HasToken(track, "album"));
    QCOMPARE(scans.count(), 0);
}

QTEST_GUILESS_MAIN(TestSharedFolders)
#include "test_shared_folders.moc"
