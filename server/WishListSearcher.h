#pragma once
// Repeats the user's wish-list searches: at every tick of its own timer,
// whose interval the server sets, it searches the next enabled
// `wish_list_item` (alphabetical order, round robin). Global
// `wishListSearcher`; built with the main window as parent.

#include <QObject>

#include <string>

class QTimer;

class WishListSearcher : public QObject
{
    Q_OBJECT

public:
    explicit WishListSearcher(QObject* ip_parent);
    ~WishListSearcher() override;

    // The interval the server set last, in seconds; 0 while stopped.
    unsigned int Interval() const { return m_intervalSeconds; }
    bool IsRunning() const;
    // The text searched last ("" before the first search).
    const std::string& LastSearched() const { return m_lastSearched; }

    // The text of the enabled item that follows i_after alphabetically
    // (bytewise), wrapping to the first; false when none is enabled.
    // i_after need not be an item (any more).
    static bool NextText(const std::string& i_after, std::string& o_text);

public slots:
    // The server's interval: 0 stops the searches, any other value
    // (re)starts the timer with it.
    void OnWishListIntervalChanged(unsigned int i_seconds);
    // One tick: searches the next enabled item; nothing while not logged in.
    // Public so tests can drive it without waiting.
    void OnTimer();

private:
    QTimer* mp_timer;
    unsigned int m_intervalSeconds = 0;
    std::string m_lastSearched;
};

extern WishListSearcher* wishListSearcher;
