#include "AppTestSupport.h"

#include "DiagnosticsForm.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

ModalDriver::ModalDriver()
{
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start(20);
}

ModalDriver::~ModalDriver() = default;

void ModalDriver::Poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == mp_last.data())
        return;   // nothing open, or the one just answered is still closing
    mp_last = modal;
    if (m_handlers.isEmpty())
    {
        m_unexpected << modal->windowTitle();
        QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        return;
    }
    Handler handler = m_handlers.takeFirst();
    ++m_handled;
    handler(modal);
}

QString FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return QString::number(probe.serverPort());
}

void DeleteDeferred()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString HomePath()
{
    return QDir::homePath();
}

QString StatePath()
{
    return HomePath() + "/.Tavrinel";
}

void RemoveStateFiles()
{
    QDir home(HomePath());
    for (const QString& name : home.entryList({".Tavrinel*"}, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot))
    {
        QFileInfo info(home.filePath(name));
        if (info.isDir())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

QString StateToolPath()
{
    return qEnvironmentVariable("TV_BUILD_DIR") + "/tests/tools/statetool";
}

QString StateToolSet(const QString& i_file, const QString& i_key, const QString& i_value)
{
    QProcess tool;
    tool.start(StateToolPath(), {"set", i_file, i_key, i_value});
    if (!tool.waitForFinished(30000))
        return "statetool did not finish: " + tool.errorString();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return "statetool failed: " + QString::fromLocal8Bit(tool.readAllStandardError());
    return QString();
}

QStringList StateToolDump(const QString& i_file)
{
    QProcess tool;
    tool.start(StateToolPath(), {"dump", i_file});
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return {};
    QStringList lines = QString::fromLatin1(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = line.trimmed();
    return lines;
}

QString LogText(const QString& i_category)
{
    return diagnosticsForm ? diagnosticsForm->LogText(i_category) : QString();
}

QByteArray ReadAll(const QString& i_path)
{
    QFile f(i_path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& i_path, const QByteArray& i_bytes)
{
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(i_bytes) == i_bytes.size();
}
