#pragma once
// Support for the tests of the shell's widgets: the focus signals that the
// toolbars follow come only from an active window; what a list shows.

#include <QApplication>
#include <QStringList>
#include <QTreeWidget>
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

// The texts of one column of a tree's top-level rows, top to bottom.
inline QStringList Column(QTreeWidget* ip_tree, int i_column)
{
    QStringList texts;
    for (int k = 0; k < ip_tree->topLevelItemCount(); ++k)
        texts << ip_tree->topLevelItem(k)->text(i_column);
    return texts;
}
