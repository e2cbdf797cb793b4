#include "QuitOnSignals.h"
#include "mainwindow.h"

#include <QApplication>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#include <sys/resource.h>

int main(int argc, char** argv)
{
    // Peer connections, transfers and the folder walk all hold descriptors:
    // the common desktop default of 1,024 is far below what the system lets
    // the process have.
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < descriptors.rlim_max)
    {
        descriptors.rlim_cur = descriptors.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &descriptors);
    }
    QApplication application(argc, argv);
    // Before the window: a signal during start-up ends it too.
    QuitOnSignals quitOnSignals;
    int exitCode = 0;
    {
        MainWindow window;
#if QT_CONFIG(sessionmanager)
        // At log-out the display may go before any signal comes: save now,
        // as the five-minute timer does.
        QObject::connect(&application, &QGuiApplication::commitDataRequest, &window,
                         [&window](QSessionManager&) { window.EveryFiveMinutes(); });
#endif
        window.setVisible(true);
        window.Init();
        // A state file that cannot be read ends the program once the user
        // has been told; nothing is saved over it.
        if (window.StateFileUnreadable())
            exitCode = 1;
        // A signal during Init has ended its dialogs; the main loop would
        // start afresh and wait for another.
        else if (!quitOnSignals.Received())
            exitCode = application.exec();
    }   // the window saves and tears down before the application goes
    return exitCode;
}
