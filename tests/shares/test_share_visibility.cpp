// Who sees which shared folder and file: everyone, the user list, chosen
// groups, an unshared user, an ignored one and a stranger. Also the stored
// share lists of other users and the attribute text of a file.

#include "SharesTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace sharestest;

namespace
{

// Puts the user on the user list, in the given groups.
ItemPtr ListUser(const std::string& i_user, std::initializer_list<const char*> i_groups = {})
{
    ItemPtr entry = ItemPtr(T("user")->GetItem(i_user)).NewItem("in_user_list");
    for (const char* group : i_groups)
        entry += T("user_list_group")->GetItem(group);
    return entry;
}

QStringList Names(const ItemSet& i_folders)
{
    QStringList names;
    for (Item* folder : i_folders)
        names << QFileInfo(QString::fromUtf8(folder->AsCStr())).fileName();
    names.sort();
    return names;
}

} // namespace

class TestShareVisibility : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void foldersPerKindOfUser();
    void filesPerKindOfUser();
    void lookupsCreateOnlyWhereTheyShould();
    void fileBelowTwoRootsIsSharedThroughEither();
    void removeUserShareKeepsOtherShares();
    void displayString();

private:
    std::unique_ptr<Environment> mp_env;
    std::unique_ptr<QTemporaryDir> mp_dir;
    SharedFoldersManager* mp_m = nullptr;
    ItemPtr m_public, m_list, m_rock, m_jazz, m_both;
};

void TestShareVisibility::init()
{
    mp_env = std::make_unique<Environment>();
    mp_m = mp_env->Manager();
    mp_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(mp_dir->isValid());
    const QString base = mp_dir->path();
    for (const char* folder : {"Public", "List", "Rock", "Jazz", "Both"})
        MakeFile(base + "/" + folder + "/file.txt");
    mp_m->Init();

    // Visibility as the add-folder dialog sets it: after the item exists.
    m_public = Share(base + "/Public");
    m_public += T("shared_public")->GetGlobalNullItem();
    m_list = Share(base + "/List");
    m_list += T("shared_userlist")->GetGlobalNullItem();
    m_rock = Share(base + "/Rock");
    m_rock += T("user_list_group")->GetItem("rock");
    m_jazz = Share(base + "/Jazz");
    m_jazz += T("user_list_group")->GetItem("jazz");
    m_both = Share(base + "/Both");
    m_both += T("shared_public")->GetGlobalNullItem();
    m_both += T("user_list_group")->GetItem("rock");

    ListUser("listed");
    ListUser("rocker", {"rock"});
    ListUser("fan", {"rock", "jazz"});
    ListUser("banned", {"rock"});
    ItemPtr(T("user")->GetItem("banned")).NewItem("unshared");
    ItemPtr(T("user")->GetItem("ignored")).NewItem("is_ignored");
    // Once in the rock group, then taken off the list (the entry goes).
    ListUser("former", {"rock"}).Remove();
    // A group folder for a user who is not on the list at all.
    T("user")->GetItem("known");
}

void TestShareVisibility::cleanup()
{
    mp_dir.reset();
    mp_env.reset();
}

void TestShareVisibility::foldersPerKindOfUser()
{
    const QStringList everyone{"Both", "Public"};
    QCOMPARE(Names(mp_m->GetUserSharedFolders("stranger")), everyone);
    QCOMPARE(Names(mp_m->GetUserSharedFolders("known")), everyone);
    QCOMPARE(Names(mp_m->GetUserSharedFolders("former")), everyone);
    // Ignoring is about chat; it does not withdraw the share.
    QCOMPARE(Names(mp_m->GetUserSharedFolders("ignored")), everyone);
    QCOMPARE(Names(mp_m->GetUserSharedFolders("listed")), (QStringList{"Both", "List", "Public"}));
    // "Both" is public and in the group: listed once.
    QCOMPARE(mp_m->GetUserSharedFolders("rocker").size(), size_t(4));
    QCOMPARE(Names(mp_m->GetUserSharedFolders("rocker")), (QStringList{"Both", "List", "Public", "Rock"}));
    QCOMPARE(Names(mp_m->GetUserSharedFolders("fan")), (QStringList{"Both", "Jazz", "List", "Public", "Rock"}));
    QVERIFY(mp_m->GetUserSharedFolders("banned").empty());

    // Visibility follows the store at once.
    m_public -= T("shared_public")->GetGlobalNullItem();
    QCOMPARE(Names(mp_m->GetUserSharedFolders("stranger")), QStringList{"Both"});
    ItemPtr(T("user")->HasItem("banned")).Disconnect("unshared");
    QCOMPARE(Names(mp_m->GetUserSharedFolders("banned")), (QStringList{"Both", "List", "Rock"}));
}

void TestShareVisibility::filesPerKindOfUser()
{
    const QString base = mp_dir->path();
    auto file = [&](const char* i_folder) { return FileItem(base + "/" + i_folder, "file.txt"); };
    struct Case
    {
        const char* user;
        bool pub, list, rock, jazz;
    };
    const Case cases[] = {
        {"stranger", true, false, false, false}, {"former", true, false, false, false},
        {"ignored", true, false, false, false},  {"listed", true, true, false, false},
        {"rocker", true, true, true, false},     {"fan", true, true, true, true},
        {"banned", false, false, false, false},
    };
    for (const Case& c : cases)
    {
        QCOMPARE(mp_m->IsFileSharedWithUser(file("Public"), c.user), c.pub);
        QCOMPARE(mp_m->IsFileSharedWithUser(file("Both"), c.user), c.pub);
        QCOMPARE(mp_m->IsFileSharedWithUser(file("List"), c.user), c.list);
        QCOMPARE(mp_m->IsFileSharedWithUser(file("Rock"), c.user), c.rock);
        QCOMPARE(mp_m->IsFileSharedWithUser(file("Jazz"), c.user), c.jazz);
    }
    QVERIFY(!mp_m->IsFileSharedWithUser(ItemPtr(), "fan"));

    // A file whose share was removed is no one's any more.
    ItemPtr publicFile = file("Public");
    QVERIFY(publicFile);
    m_public.Remove();
    QVERIFY(!mp_m->GetSharedFileItem(U8(base + "/Public/file.txt")));
    QVERIFY(!FileItem(base + "/Public", "file.txt"));
}

void TestShareVisibility::lookupsCreateOnlyWhereTheyShould()
{
    QVERIFY(!T("user")->HasItem("nobody"));
    mp_m->GetUserSharedFolders("nobody");
    QVERIFY(!T("user")->HasItem("nobody"));
    QVERIFY(mp_m->IsFileSharedWithUser(FileItem(mp_dir->path() + "/Public", "file.txt"), "nobody"));
    QVERIFY(T("user")->HasItem("nobody"));
    // Neither changes a flag.
    QVERIFY(!ItemPtr(T("user")->HasItem("nobody")).IsConnected("in_user_list"));
    QVERIFY(!ItemPtr(T("user")->HasItem("nobody")).IsConnected("unshared"));
}

void TestShareVisibility::fileBelowTwoRootsIsSharedThroughEither()
{
    // Jazz/Inner lies in the jazz share and in a user-list share of its own.
    const QString inner = mp_dir->path() + "/Jazz/Inner";
    MakeFile(inner + "/deep.txt");
    mp_m->RescanShares();
    ItemPtr innerShare = Share(inner);
    innerShare += T("shared_userlist")->GetGlobalNullItem();
    ItemPtr deep = FileItem(inner, "deep.txt");
    QCOMPARE(FolderItem(inner).GetItems("shared_folder").size(), size_t(2));

    QVERIFY(mp_m->IsFileSharedWithUser(deep, "listed"));   // through the user-list root
    QVERIFY(mp_m->IsFileSharedWithUser(deep, "fan"));      // through both
    QVERIFY(!mp_m->IsFileSharedWithUser(deep, "stranger"));
    QVERIFY(!mp_m->IsFileSharedWithUser(deep, "banned"));

    // Unsharing one root leaves the file to the other.
    innerShare.Remove();
    QCOMPARE(FileItem(inner, "deep.txt"), deep);
    QVERIFY(!mp_m->IsFileSharedWithUser(deep, "listed"));
    QVERIFY(mp_m->IsFileSharedWithUser(deep, "fan"));
}

void TestShareVisibility::removeUserShareKeepsOtherShares()
{
    // Two received lists, both holding a folder 'music' with a sub-folder.
    auto store = [](const std::string& i_user) {
        ItemPtr share = ItemPtr(T("user")->GetItem(i_user)).NewItem("user_share");
        ItemPtr top = share.NewItem("user_share_folder");
        top += T("user_share_folder_name")->GetItem("music");
        ItemPtr sub = share.NewItem("user_share_folder");
        sub += T("user_share_folder_name")->GetItem("music\\live");
        ItemPtr parent = sub.NewItem("user_share_folder_parent");
        ItemPtr child = top.NewItem("user_share_folder_child");
        parent += child;
        ItemPtr file = sub.NewItem("user_share_file");
        file += T("user_share_file_name")->GetItem("song " + i_user + ".mp3");
        file += T("file_size")->GetItem("123");
        file += T("bitrate")->GetItem("256");
        share.NewItem("user_share_loaded");
        return share;
    };
    store("alice");
    ItemPtr bobShare = store("bob");
    const size_t before = d->ItemCount();

    mp_m->RemoveUserShare("nobody_at_all");
    mp_m->RemoveUserShare("listed");   // a user without a stored list
    QVERIFY(!T("user")->HasItem("nobody_at_all"));
    QCOMPARE(d->ItemCount(), before);

    mp_m->RemoveUserShare("alice");
    QVERIFY(!ItemPtr(T("user")->HasItem("alice"))["user_share"]);
    QVERIFY(!T("user_share_file_name")->HasItem("song alice.mp3"));
    QCOMPARE(T("user_share")->ItemCount(), size_t(1));
    QCOMPARE(T("user_share_folder")->ItemCount(), size_t(2));
    QCOMPARE(T("user_share_folder_parent")->ItemCount(), size_t(1));
    QCOMPARE(T("user_share_folder_child")->ItemCount(), size_t(1));
    QCOMPARE(T("user_share_loaded")->ItemCount(), size_t(1));
    // Value items the other list uses stay.
    QVERIFY(T("user_share_folder_name")->HasItem("music\\live"));
    QVERIFY(T("file_size")->HasItem("123"));
    QVERIFY(bobShare.IsConnected("user_share_loaded"));

    mp_m->RemoveUserShare("bob");
    QCOMPARE(T("user_share")->ItemCount(), size_t(0));
    QCOMPARE(T("user_share_file")->ItemCount(), size_t(0));
    QCOMPARE(T("user_share_folder_name")->ItemCount(), size_t(0));
    QVERIFY(!T("bitrate")->HasItem("256"));
    // The local share is untouched.
    QVERIFY(FileItem(mp_dir->path() + "/Rock", "file.txt"));
}

void TestShareVisibility::displayString()
{
    ItemPtr file = T("user_share_file")->NewItem();
    QCOMPARE(mp_m->GetFileItemDisplayString(file), QString());
    QCOMPARE(mp_m->GetFileItemDisplayString(ItemPtr()), QString());
    file += T("length_seconds")->GetItem("245");
    QCOMPARE(mp_m->GetFileItemDisplayString(file), QString(", 4m5s"));
    file += T("bitrate")->GetItem("192");
    file += T("bitrate_mode")->GetItem("cbr");
    QCOMPARE(mp_m->GetFileItemDisplayString(file), QString("192 CBR, 4m5s"));
    file += T("bitrate_mode")->GetItem("vbr");
    QCOMPARE(mp_m->GetFileItemDisplayString(file), QString("192 VBR, 4m5s"));
    file += T("bitrate_mode")->GetItem("other");
    QCOMPARE(mp_m->GetFileItemDisplayString(file), QString("192, 4m5s"));

    ItemPtr local = FileItem(mp_dir->path() + "/Rock", "file.txt");
    local += T("bitrate")->GetItem("128");
    local += T("bitrate_mode")->GetItem("vbr");
    QCOMPARE(mp_m->GetFileItemDisplayString(local), QString("128 VBR"));
}

QTEST_GUILESS_MAIN(TestShareVisibility)
#include "test_share_visibility.moc"
