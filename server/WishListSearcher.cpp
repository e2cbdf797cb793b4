#include "WishListSearcher.h"

#include "Data.h"
#include "Log.h"
#include "TextConversion.h"
#include "server.h"

#include <QTimer>

#include <algorithm>
#include <climits>

WishListSearcher* wishListSearcher = nullptr;

namespace
{
const char* const LOG_CATEGORY = "Wish List";
// The longest interval a QTimer can hold, in whole seconds (about 24 days).
const unsigned int MAX_INTERVAL_SECONDS = INT_MAX / 1000;
}

WishListSearcher::WishListSearcher(QObject* ip_parent)
    : QObject(ip_parent)
    , mp_timer(new QTimer(this))
{
    wishListSearcher = this;
    connect(mp_timer, &QTimer::timeout, this, &WishListSearcher::OnTimer);
    if (gp_server)
        connect(gp_server, &Server::WishListIntervalChanged, this, &WishListSearcher::OnWishListIntervalChanged);
}

WishListSearcher::~WishListSearcher()
{
    if (wishListSearcher == this)
        wishListSearcher = nullptr;
}

bool WishListSearcher::IsRunning() const
{
    return mp_timer->isActive();
}

void WishListSearcher::OnWishListIntervalChanged(unsigned int i_seconds)
{
    m_intervalSeconds = i_seconds;
    if (i_seconds == 0)
    {
        mp_timer->stop();
        Log(LOG_CATEGORY, 1, QStringLiteral("The server stopped wish list searches"));
        return;
    }
    const unsigned int seconds = std::min(i_seconds, MAX_INTERVAL_SECONDS);
    // start() restarts a running timer: the next search comes a full
    // interval after the server's message.
    mp_timer->start(int(seconds * 1000));
    Log(LOG_CATEGORY, 1, QStringLiteral("Wish list search interval set to %1 seconds").arg(seconds));
}

bool WishListSearcher::NextText(const std::string& i_after, std::string& o_text)
{
    Type* items = d->HasType("wish_list_item");
    Type* enabled = d->HasType("wish_list_item_enabled");
    if (!items || !enabled)
        return false;
    const std::string* first = nullptr;
    const std::string* next = nullptr;
    items->ForEachItem([&](Item* ip_item) {
        if (!ip_item->GetItem(enabled))
            return;
        const std::string& text = ip_item->GetValue();
        if (!first || text < *first)
            first = &text;
        if (text > i_after && (!next || text < *next))
            next = &text;
    });
    if (!first)
        return false;
    o_text = next ? *next : *first;
    return true;
}

void WishListSearcher::OnTimer()
{
    if (!gp_server || !gp_server->IsConnected())
        return;
    std::string text;
    if (!NextText(m_lastSearched, text))
        return;
    m_lastSearched = text;
    gp_server->FileSearch(text, true);
    Log(LOG_CATEGORY, 1, QStringLiteral("Sent wish list search: %1").arg(FromUtf8(text)));
}
