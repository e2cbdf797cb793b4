#pragma once
// Saves the state file soon after a change the user would not want to lose
// to a crash or a kill: a download queued, finished or removed, a folder
// shared or unshared. The periodic save alone could lose minutes of them.
// Saves are spaced, so a burst of changes (a whole folder queued, many small
// files finishing) costs one save, not one each; a large state file, whose
// save holds up the window, spaces them further.

#include "Data.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class ChangeSaver : public QObject, public DataHandler
{
    Q_OBJECT

public:
    // i_save writes the state file; it runs at most once per i_spacingMs,
    // or per ten times its last run's duration when that is longer.
    ChangeSaver(std::function<void()> i_save, int i_spacingMs, QObject* ip_parent = nullptr);

    // Items of the type coming and going are changes.
    void WatchItems(const char* ip_type);
    // A new connection of an item of the first type to one of the second is
    // a change.
    void WatchLinks(const char* ip_type, const char* ip_other);

    // Whether a save is waiting for its turn.
    bool IsPending() const { return m_timer.isActive(); }

private:
    void OnItem(Item* ip_item);
    void OnLink(ConnectionInfo& i_info);
    void Schedule();
    void SaveNow();

    std::function<void()> m_save;
    int m_spacingMs;
    QTimer m_timer;
    // Since the last save; invalid before the first.
    QElapsedTimer m_sinceSave;
    qint64 m_lastSaveMs = 0;
};
