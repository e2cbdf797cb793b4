#pragma once
// The search view's part of the client's start-up and teardown, in the main
// window's order, for the tests and benchmarks that run the view without
// the whole window.

#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "PeerMessenger.h"
#include "SearchForm.h"
#include "SharedFoldersManager.h"
#include "ShowState.h"
#include "SizeManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QMainWindow>

// After the server and the login settings: the peer network, the wish-list
// types (kept in the state file when i_saveWishes), the managers the view
// asks, and the view itself in the window.
inline SearchForm* StartSearchView(QMainWindow* ip_window, bool i_saveWishes)
{
    new PeerMessenger;
    Type* wishItem = MakeType("wish_list_item", true, false, true);
    Relate(wishItem, MakeType("wish_list_item_enabled", false, true, true), Many, One);
    if (i_saveWishes)
        dataSaver->AddSavedType("wish_list_item");
    new DelayedInvoker(nullptr);
    new SharedFoldersManager(nullptr);
    new SizeManager(nullptr);
    new TransferQueueManager;
    auto* form = new SearchForm;
    ip_window->setCentralWidget(form);
    form->Init();
    ip_window->addToolBar(new EventToolBar(nullptr));
    return form;
}

// Deletes the window and what StartSearchView made, and the server; late
// slots keep still, as in the main window's teardown.
inline void StopSearchView(QMainWindow* ip_window)
{
    g_showIsOver = true;
    delete ip_window;
    delete transferQueueManager;
    delete sharedFoldersManager;
    delete delayedInvoker;
    delete peerMessenger;
    delete gp_server;
    delete sizeManager;
}
