#include "mainwindow.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    int exitCode = 0;
    {
        MainWindow window;
        window.setVisible(true);
        window.Init();
        exitCode = application.exec();
    }   // the window saves and tears down before the application goes
    return exitCode;
}
