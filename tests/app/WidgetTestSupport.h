#pragma once
// Support for the tests of the shell's widgets: the focus signals that the
// toolbars follow come only from an active window.

#include <QApplication>
#include <QWidget>
#include <QtTest>

// Shows the window and waits until it is the active one.
inline bool ShowActive(QWidget* ip_window)
{
    ip_window->show();
    ip_window->activateWindow();
    QApplication::setActiveWindow(ip_window);
    return QTest::qWaitForWindowActive(ip_window, 10000);
}

// Runs the deletions that deleteLater scheduled.
inline void RunDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
