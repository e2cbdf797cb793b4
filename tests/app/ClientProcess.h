#pragma once
// The client itself (this build's tavrinel) as a child process, headless, in
// the test's HOME; for the tests of how it ends. It is killed when the test
// process dies, so it never outlives the test.

#include <QElapsedTimer>
#include <QProcess>
#include <QString>

#include <string>

class ClientProcess
{
public:
    ClientProcess();
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    bool Start();
    // Starts it with HOME set to the folder, as another user through
    // setpriv unless the user is empty; what it writes to stderr is kept
    // (and passed on).
    bool StartAs(const QString& i_user, const QString& i_group, const QString& i_home);
    // Waits with the event loop spinning until stderr has held the text;
    // only for a client started with StartAs.
    bool WaitForErrorOutput(const QString& i_text, int i_timeoutMs);
    bool Running() const { return m_process.state() != QProcess::NotRunning; }
    // Sends a POSIX signal.
    void Signal(int i_signal);
    // Waits with the event loop spinning; false on time-out.
    bool WaitForExit(int i_timeoutMs);
    bool ExitedNormallyWithZero() const;
    QString Describe() const;
    // Milliseconds since Start.
    qint64 Elapsed() const { return m_started.elapsed(); }

private:
    QProcess m_process;
    QElapsedTimer m_started;
    QByteArray m_errorOutput;
};

QString ClientPath();

// Reads the state file into a fresh store holding only the settings types
// (whatever else the file holds is skipped). "" on success, else the reason.
QString LoadSettingsFrom(const QString& i_path);

// Whether something accepts connections on the port of 127.0.0.1.
bool Accepts(quint16 i_port);
