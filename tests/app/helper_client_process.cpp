#include "ClientProcess.h"

#include "Data.h"
#include "DataSaver.h"

#include <QCoreApplication>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

ClientProcess::ClientProcess()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

ClientProcess::~ClientProcess()
{
    if (Running())
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

QString ClientPath()
{
    return qEnvironmentVariable("TV_BUILD_DIR") + "/tavrinel";
}

bool ClientProcess::Start()
{
    m_process.start(ClientPath(), {});
    m_started.start();
    return m_process.waitForStarted(30000);
}

bool ClientProcess::StartAs(const QString& i_user, const QString& i_group, const QString& i_home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", i_home);
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardError);
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
        const QByteArray bytes = m_process.readAllStandardError();
        m_errorOutput += bytes;
        fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    });
    if (i_user.isEmpty())
        m_process.start(ClientPath(), {});
    else   // the death signal goes with the change of user; setpriv sets it again
        m_process.start("setpriv", {"--reuid", i_user, "--regid", i_group, "--clear-groups", "--pdeathsig",
                                    "SIGKILL", "--", ClientPath()});
    m_started.start();
    return m_process.waitForStarted(30000);
}

bool ClientProcess::WaitForErrorOutput(const QString& i_text, int i_timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!m_errorOutput.contains(i_text.toUtf8()) && Running() && waited.elapsed() < i_timeoutMs)
    {
        m_process.waitForReadyRead(50);
        QCoreApplication::processEvents();
    }
    return m_errorOutput.contains(i_text.toUtf8());
}

void ClientProcess::Signal(int i_signal)
{
    if (Running())
        ::kill(pid_t(m_process.processId()), i_signal);
}

bool ClientProcess::WaitForExit(int i_timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (Running() && waited.elapsed() < i_timeoutMs)
    {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        m_process.waitForFinished(50);
    }
    return !Running();
}

bool ClientProcess::ExitedNormallyWithZero() const
{
    return !Running() && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString ClientProcess::Describe() const
{
    if (Running())
        return "still running";
    if (m_process.exitStatus() == QProcess::CrashExit)
        return "ended by a signal";
    return QString("exit code %1").arg(m_process.exitCode());
}

QString LoadSettingsFrom(const QString& i_path)
{
    d->Reset();
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
    DataSaver saver;
    try
    {
        saver.Load(QFile::encodeName(i_path).constData());
    }
    catch (const DataLoadFailure& e)
    {
        return QString::fromLocal8Bit(e.what());
    }
    catch (const DataReadFailure& e)
    {
        return QString::fromLocal8Bit(e.what());
    }
    return QString();
}

bool Accepts(quint16 i_port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, i_port);
    return probe.waitForConnected(1000);
}
