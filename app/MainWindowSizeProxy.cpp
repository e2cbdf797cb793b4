#include "mainwindow.h"

#include <QGuiApplication>

namespace
{
// Long enough for the window manager's state change to follow its resize.
const int kSettleMs = 200;

QMargins FrameOf(const QWidget* ip_window)
{
    const QRect inner = ip_window->geometry();
    const QRect outer = ip_window->frameGeometry();
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                    outer.bottom() - inner.bottom());
}
}

MainWindow::SizeProxy::SizeProxy(QWidget* ip_window) : mp_window(ip_window)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    QObject::connect(&m_settle, &QTimer::timeout, this, &SizeProxy::Flush);
}

int MainWindow::SizeProxy::GetX()
{
    return mp_window->geometry().x();
}

int MainWindow::SizeProxy::GetY()
{
    return mp_window->geometry().y();
}

int MainWindow::SizeProxy::GetWidth()
{
    return mp_window->geometry().width();
}

int MainWindow::SizeProxy::GetHeight()
{
    return mp_window->geometry().height();
}

// The size that follows a restored position is fitted with it, so the
// position alone only keeps the title bar on a screen.
void MainWindow::SizeProxy::SetPosition(int i_x, int i_y)
{
    const QRect now = mp_window->geometry();
    Apply(QRect(i_x, i_y, now.width(), now.height()), false);
}

void MainWindow::SizeProxy::SetSize(int i_width, int i_height)
{
    const QRect now = mp_window->geometry();
    Apply(QRect(now.x(), now.y(), i_width, i_height), true);
}

void MainWindow::SizeProxy::Apply(const QRect& i_geometry, bool i_shrink)
{
    mp_window->setGeometry(FitOnScreens(i_geometry, FrameOf(mp_window), i_shrink));
}

bool MainWindow::SizeProxy::HasPosition()
{
    // Wayland neither tells nor lets a client place its windows.
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void MainWindow::SizeProxy::NoteMoved()
{
    m_moved = true;
    m_settle.start();
}

void MainWindow::SizeProxy::NoteResized()
{
    m_resized = true;
    m_settle.start();
}

void MainWindow::SizeProxy::Flush()
{
    m_settle.stop();
    const bool moved = m_moved;
    const bool resized = m_resized;
    m_moved = m_resized = false;
    // A maximised, minimised or full-screen geometry is not the one to
    // come back to.
    if (mp_window->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))
        return;
    if (moved && HasPosition())
        emit WindowMoved(GetX(), GetY());
    if (resized)
        emit WindowResized(GetWidth(), GetHeight());
}
