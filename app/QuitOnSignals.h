#pragma once
// SIGTERM (desktop log-out, system shut-down) and SIGINT (Ctrl-C) end the
// program as closing the window does: the event loop is left and the main
// window's destructor logs out and writes the state file. The handlers only
// write a byte to a pipe; the event loop reads it. Each handler goes after
// its first signal, so a second one ends a shut-down that hangs.

#include <QObject>

class QSocketNotifier;

class QuitOnSignals : public QObject
{
    Q_OBJECT

public:
    // Installs the handlers; made by main before the window.
    explicit QuitOnSignals(QObject* ip_parent = nullptr);
    // Puts the default handlers back.
    ~QuitOnSignals() override;

    // Whether a signal has asked the program to end. Once it has, the event
    // loops are told to return, and a new one would only start afresh.
    bool Received() const { return m_received; }

private slots:
    void OnSignalPipeReadable();

private:
    QSocketNotifier* mp_notifier = nullptr;
    bool m_received = false;
};
