#include "QuitOnSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// Read end, write end; -1 while no handlers are installed.
int g_signalPipe[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT};

extern "C" void OnQuitSignal(int)
{
    // Only async-signal-safe calls here; a full pipe already says it all.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}
}

QuitOnSignals::QuitOnSignals(QObject* ip_parent) : QObject(ip_parent)
{
    if (g_signalPipe[0] >= 0 || ::pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        // One instance per process; without a pipe the defaults stay.
        qWarning("Cannot watch for quit signals");
        return;
    }
    mp_notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(mp_notifier, &QSocketNotifier::activated, this, &QuitOnSignals::OnSignalPipeReadable);

    struct sigaction action = {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

QuitOnSignals::~QuitOnSignals()
{
    if (!mp_notifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
    delete mp_notifier;
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

void QuitOnSignals::OnSignalPipeReadable()
{
    char bytes[16];
    while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0)
    {
    }
    m_received = true;
    // Unlike quit(), this also ends a modal loop running before the main
    // loop has started, and makes every later loop return at once.
    QCoreApplication::exit(0);
}
