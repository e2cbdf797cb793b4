#pragma once
// A headless client (tv_dnet_node) in its own process, for the tests in
// which real clients talk to each other, and the lines it printed.

#include "PeerTestSupport.h"

#include <QCoreApplication>
#include <QProcess>

namespace peertest
{
// One tv_dnet_node process and the lines it printed.
class Node
{
public:
    ~Node() { Stop(); }

    // i_program: tv_dnet_node or tv_shares_node, with its further options.
    bool Start(const QString& i_user, quint16 i_serverPort, const QString& i_program = "tv_dnet_node",
               const QStringList& i_options = {})
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QCoreApplication::applicationDirPath() + "/" + i_program,
                        QStringList{"--user", i_user, "--password", "pw", "--server-port",
                                    QString::number(i_serverPort)} + i_options);
        if (!m_process.waitForStarted(g_waitMs) || !WaitLine("LOGGED_IN"))
            return false;
        const QByteArray listening = FirstLine("LISTENING ");
        m_port = quint16(listening.mid(10).toUInt());
        return m_port != 0;
    }

    // Runs the node with HOME set to that folder (call before Start).
    void SetHome(const QString& i_home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", i_home);
        m_process.setProcessEnvironment(environment);
    }

    // Ends the node at once, as a crash would.
    void Kill()
    {
        m_process.kill();
        m_process.waitForFinished(g_waitMs);
    }

    // Closing its input ends the node.
    void Stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(g_waitMs))
        {
            m_process.kill();
            m_process.waitForFinished(g_waitMs);
        }
    }

    bool WaitLine(const QByteArray& i_line)
    {
        return QTest::qWaitFor([&] { return Count(i_line) > 0; }, g_waitMs);
    }

    int Count(const QByteArray& i_line)
    {
        Read();
        return int(m_lines.count(i_line));
    }

    QByteArray FirstLine(const QByteArray& i_prefix)
    {
        Read();
        for (const QByteArray& line : m_lines)
            if (line.startsWith(i_prefix))
                return line;
        return {};
    }

    quint16 Port() const { return m_port; }

    // Sends one command line to the node.
    void Command(const QByteArray& i_line) { m_process.write(i_line + "\n"); }

private:
    void Read()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0)
        {
            m_lines.append(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
        }
    }

    QProcess m_process;
    QByteArray m_buffer;
    QList<QByteArray> m_lines;
    quint16 m_port = 0;
};
} // namespace peertest
