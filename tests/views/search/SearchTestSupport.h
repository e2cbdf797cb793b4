#pragma once
// The search views as start-up builds them, around the real server
// connection (logged in to the scripted test server), the real peer
// messenger listening on loopback, and scripted peers that answer searches
// over raw "P" connections.

#include "views/widgets/WidgetTestSupport.h"
#include "common/TestServer.h"
#include "peers/PeerTestSupport.h"
#include "views/search/SearchViewStart.h"

#include "ActionSetToolBar.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "SearchForm.h"
#include "SearchResultsForm.h"
#include "SharedFoldersManager.h"
#include "ShowState.h"
#include "SizeManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QLineEdit>
#include <QMainWindow>
#include <QTabWidget>
#include <QTreeWidget>

#include <functional>
#include <map>
#include <memory>

namespace searchtest
{
using peertest::g_waitMs;

// One file of a scripted reply.
struct File
{
    QByteArray path;   // "\"-separated
    qint64 size = 1000;
    bool audio = false;
};

class Fixture
{
public:
    TestServer m_ts;
    QMainWindow* mp_window = nullptr;
    SearchForm* mp_form = nullptr;
    std::map<QByteArray, std::unique_ptr<QTcpSocket>> m_peers;

    bool StartServer() { return m_ts.Start({"--accounts", "alice:secret"}); }

    // Builds what start-up builds for the search views, in its order, and
    // logs in as alice.
    // i_beforeLoad runs where the state file would be read.
    bool SetUp(const std::function<void()>& i_beforeLoad = nullptr)
    {
        ResetTestEnvironment();
        g_showIsOver = false;
        mp_window = new QMainWindow;
        mp_window->resize(1000, 700);
        mp_window->addToolBar(new ActionSetToolBar(mp_window));
        Server* server = new Server;
        server->CreateData();
        server->SetConnectTimeout(5000);
        SetSetting("username", "alice");
        SetSetting("password", "secret");
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(m_ts.Port()));
        SetSetting("listening_port", std::to_string(peertest::FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(peertest::FreePort()));
        mp_form = StartSearchView(mp_window, true);
        if (i_beforeLoad)
            i_beforeLoad();
        dataSaver->NotifyDataLoaded();
        if (!ShowActive(mp_window))
            return false;
        QSignalSpy connected(server, &Server::Connected);
        server->Connect();
        return QTest::qWaitFor([&] { return server->IsConnected(); }, g_waitMs);
    }

    void TearDown()
    {
        m_peers.clear();
        StopSearchView(mp_window);
        mp_window = nullptr;
        mp_form = nullptr;
        RunDeferredDeletes();
        d->Reset();
    }

    QTabWidget* ManualTabs() const { return mp_form->findChild<QTabWidget*>("searchTabControl"); }
    QTabWidget* WishTabs() const { return mp_form->findChild<QTabWidget*>("wishListTabControl"); }
    QLineEdit* SearchLine() const { return mp_form->findChild<QLineEdit*>("searchEdit"); }
    SearchResultsForm* ManualTab(int i_index) const
    {
        return qobject_cast<SearchResultsForm*>(ManualTabs()->widget(i_index));
    }
    SearchResultsForm* WishTab(int i_index) const { return qobject_cast<SearchResultsForm*>(WishTabs()->widget(i_index)); }

    // Types the text and presses Return.
    void Search(const QString& i_text)
    {
        SearchLine()->setText(i_text);
        QTest::keyClick(SearchLine(), Qt::Key_Return);
    }

    // The token of the newest search request.
    static unsigned int LastToken()
    {
        unsigned long last = 0;
        for (Item* request : g("search_request"))
            last = std::max(last, request->AsUInt());
        return static_cast<unsigned int>(last);
    }

    // A scripted peer answers search i_token; waits until the messenger has
    // stored the reply.
    bool Reply(const QByteArray& i_user, unsigned int i_token, const std::vector<File>& i_files, bool i_free,
               quint32 i_speed, quint32 i_queue)
    {
        using namespace peertest;
        auto& socket = m_peers[i_user];
        if (!socket)
            socket = OpenMessaging(peerMessenger, i_user);
        if (!socket)
            return false;
        QByteArray body = Str(i_user) + U32(i_token) + U32(quint32(i_files.size()));
        for (const File& file : i_files)
        {
            std::vector<std::pair<qint32, qint32>> attributes;
            if (file.audio)
                attributes = {{0, 320}, {1, 245}, {2, 1}};
            body += FileRecord(file.path, file.size, file.audio ? "mp3" : "", attributes);
        }
        body += B8(i_free ? 1 : 0) + U32(i_speed) + U32(i_queue) + U32(0);
        QSignalSpy stored(peerMessenger, &PeerMessenger::SearchResults);
        WriteRaw(socket.get(), Frame(U32(PM_FILE_SEARCH_RESULT) + Zlib(body)));
        return stored.wait(g_waitMs);
    }
};

// The rows below a row (the top-level rows for null), as their texts in
// one column.
inline QStringList Texts(QTreeWidget* ip_tree, QTreeWidgetItem* ip_parent, int i_column)
{
    QStringList texts;
    const int count = ip_parent ? ip_parent->childCount() : ip_tree->topLevelItemCount();
    for (int k = 0; k < count; ++k)
        texts << (ip_parent ? ip_parent->child(k) : ip_tree->topLevelItem(k))->text(i_column);
    return texts;
}

inline QTreeWidgetItem* UserRow(QTreeWidget* ip_tree, const QString& i_user)
{
    const auto rows = ip_tree->findItems(i_user, Qt::MatchExactly, 0);
    return rows.size() == 1 ? rows.first() : nullptr;
}

inline size_t Count(const char* ip_type)
{
    Type* type = d->HasType(ip_type);
    return type ? type->ItemCount() : 0;
}
}
