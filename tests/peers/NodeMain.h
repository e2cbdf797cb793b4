#pragma once
// What the headless client programs of the multi-process tests share: free
// loopback ports, one output line at a time, and command lines read from
// standard input until it closes, which ends the program.

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace nodemain
{
inline quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline void Print(const QByteArray& i_line)
{
    std::fwrite(i_line.constData(), 1, size_t(i_line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Hands every line of standard input to the command; quits the
// application when the input closes, so that a node never outlives the
// test that started it.
class CommandLines
{
public:
    CommandLines(QCoreApplication& i_app, std::function<void(const QByteArray&)> i_command)
        : m_input(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&m_input, &QSocketNotifier::activated, [this, &i_app, i_command] {
            char buffer[4096];
            const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0)
            {
                m_input.setEnabled(false);
                i_app.quit();
                return;
            }
            m_pending.append(buffer, int(n));
            int end;
            while ((end = m_pending.indexOf('\n')) >= 0)
            {
                const QByteArray line = m_pending.left(end);
                m_pending.remove(0, end + 1);
                i_command(line);
            }
        });
    }

private:
    QSocketNotifier m_input;
    QByteArray m_pending;
};
} // namespace nodemain
