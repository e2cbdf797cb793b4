#include "AppTestSupport.h"

#include "common/TestPorts.h"
#include "Data.h"
#include "DiagnosticsForm.h"
#include "ProtocolCodes.h"
#include "TabWidget.h"
#include "mainwindow.h"
#include "server.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonObject>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>

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

ModalDriver::Handler PressOk(ShownBox* o_box)
{
    return [o_box](QWidget* ip_widget) {
        auto* box = qobject_cast<QMessageBox*>(ip_widget);
        QVERIFY(box);
        o_box->title = box->windowTitle();
        o_box->text = box->text();
        o_box->format = box->textFormat();
        box->button(QMessageBox::Ok)->click();
    };
}

QString FreePort()
{
    return QString::number(FreeListenPort());
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
    // FIFOs and links too; a link goes, never what it leads to.
    for (const QString& name :
         home.entryList({".Tavrinel*"}, QDir::Files | QDir::Dirs | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot))
    {
        QFileInfo info(home.filePath(name));
        if (info.isDir() && !info.isSymLink())
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

QString StateToolSetAll(const QString& i_file, const QStringList& i_pairs)
{
    for (int k = 0; k + 1 < i_pairs.size(); k += 2)
        if (QString error = StateToolSet(i_file, i_pairs[k], i_pairs[k + 1]); !error.isEmpty())
            return error;
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

QJsonArray Field(const char* ip_type, const QJsonValue& i_value)
{
    return QJsonArray{ip_type, i_value};
}

bool IsLoggedIn(TestServer& io_server, const QString& i_user)
{
    for (const QJsonValue& v : io_server.Users())
        if (v.toObject().value("user").toString() == i_user)
            return true;
    return false;
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

WindowTest::WindowTest() = default;

WindowTest::~WindowTest() = default;

Ui_MainWindow* WindowTest::Ui() const
{
    return mp_window->Form();
}

void WindowTest::PrepareStateFile(const QStringList& i_extra)
{
    const QStringList pairs = QStringList{"username", "bob", "password", "pw2", "server_host", "127.0.0.1",
                                          "server_port", Port(), "listening_port", FreePort(),
                                          "obfuscated_listening_port", FreePort()} +
                              i_extra;
    const QString error = StateToolSetAll(StatePath(), pairs);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void WindowTest::StartWindow()
{
    mp_window = std::make_unique<MainWindow>();
    mp_window->setVisible(true);
    mp_window->Init();
}

void WindowTest::WaitLoggedIn()
{
    QTRY_VERIFY_WITH_TIMEOUT(gp_server->IsConnected(), 10000);
}

void WindowTest::StartLoggedIn()
{
    PrepareStateFile();
    StartWindow();
    WaitLoggedIn();
}

void WindowTest::StopWindow()
{
    mp_window.reset();
    DeleteDeferred();
    d->Reset();
    QTRY_VERIFY_WITH_TIMEOUT(m_server.Users().isEmpty(), 10000);
}

void WindowTest::StartFresh()
{
    RemoveStateFiles();
    d->Reset();
    StartLoggedIn();
}

void WindowTest::StopAndClean()
{
    StopWindow();
    RemoveStateFiles();
}

bool WindowTest::SendPrivateLine(const QString& i_from, const QString& i_text)
{
    return m_server.Send("bob", SM_PRIVATE_CHAT,
                         {Field("u32", m_messageId++), Field("u32", 1700000000), Field("latin1", i_from),
                          Field("utf8", i_text), Field("byte", 1)});
}

bool WindowTest::ClickChatTabClose(int i_index)
{
    RoomTabBar* bar = mp_window ? static_cast<RoomTabWidget*>(Ui()->chatTabControl)->Bar() : nullptr;
    const QRect close = bar ? bar->CloseRect(i_index) : QRect();
    if (close.isEmpty())
        return false;
    // Straight to the bar: it need not be on screen.
    const QPointF at(close.center());
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
    {
        QMouseEvent click(type, at, bar->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(bar, &click);
    }
    return true;
}
