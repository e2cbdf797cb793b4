#include "TestServer.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QProcess>
#include <QTimer>
#include <QtGlobal>

namespace {

const int g_startTimeoutMs = 10000;
const int g_stopTimeoutMs = 3000;
const int g_maxLineBytes = 128 * 1024 * 1024;

QJsonObject Failure(const QString& i_error)
{
  return QJsonObject{{"ok", false}, {"error", i_error}};
}

} // namespace

TestServer::TestServer() = default;

TestServer::~TestServer()
{
  Stop();
}

bool TestServer::Start(QStringList i_args)
{
  Stop();
  QString script = qEnvironmentVariable("TV_TESTSERVER");
  if (script.isEmpty() && qEnvironmentVariableIsSet("TV_SOURCE_DIR"))
    script = qEnvironmentVariable("TV_SOURCE_DIR") + "/tests/tools/testserver.py";
  if (script.isEmpty()) {
    qWarning("TestServer: TV_TESTSERVER is not set");
    return false;
  }
  mp_process = new QProcess;
  // The server's log lines belong in the test's output.
  mp_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  mp_process->start("python3", QStringList{script, "--stdio-control"} + i_args);
  if (!mp_process->waitForStarted(g_startTimeoutMs)) {
    qWarning("TestServer: cannot start python3: %s", qPrintable(mp_process->errorString()));
    Stop();
    return false;
  }
  QByteArray line;
  if (!ReadLine(line, g_startTimeoutMs)) {
    qWarning("TestServer: no start line from the server");
    Stop();
    return false;
  }
  const QList<QByteArray> words = line.trimmed().split(' ');
  bool portOk = false;
  bool controlOk = false;
  if (words.size() == 4 && words[0] == "PORT" && words[2] == "CONTROL") {
    m_port = words[1].toUShort(&portOk);
    m_controlPort = words[3].toUShort(&controlOk);
  }
  if (!portOk || !controlOk) {
    qWarning("TestServer: unexpected start line: %s", line.constData());
    Stop();
    return false;
  }
  return true;
}

void TestServer::Stop()
{
  if (!mp_process)
    return;
  if (mp_process->state() == QProcess::Running) {
    mp_process->write("{\"cmd\":\"quit\"}\n");
    mp_process->closeWriteChannel();
    if (!mp_process->waitForFinished(g_stopTimeoutMs)) {
      mp_process->kill();
      mp_process->waitForFinished(g_stopTimeoutMs);
    }
  }
  delete mp_process;
  mp_process = nullptr;
  m_buffer.clear();
  m_port = 0;
  m_controlPort = 0;
}

bool TestServer::ReadLine(QByteArray& o_line, int i_timeoutMs)
{
  QDeadlineTimer deadline(i_timeoutMs);
  while (true) {
    if (mp_process)
      m_buffer += mp_process->readAllStandardOutput();
    const qsizetype newline = m_buffer.indexOf('\n');
    if (newline >= 0) {
      o_line = m_buffer.left(newline);
      m_buffer.remove(0, newline + 1);
      return true;
    }
    if (m_buffer.size() > g_maxLineBytes) {
      qWarning("TestServer: reply line over %d bytes", g_maxLineBytes);
      m_buffer.clear();
      return false;
    }
    if (!mp_process || mp_process->state() != QProcess::Running || deadline.hasExpired())
      return false;
    // Wait for output with the event loop running, so that whatever else
    // lives in this process goes on meanwhile.
    QEventLoop loop;
    QObject::connect(mp_process, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
    QObject::connect(mp_process, &QProcess::finished, &loop, &QEventLoop::quit);
    const qint64 sliceMs = qBound(qint64(1), deadline.remainingTime(), qint64(100));
    QTimer::singleShot(int(sliceMs), &loop, &QEventLoop::quit);
    loop.exec();
  }
}

QJsonObject TestServer::Command(QJsonObject i_request, int i_timeoutMs)
{
  if (!mp_process || mp_process->state() != QProcess::Running)
    return Failure("the test server is not running");
  const qint64 id = m_nextId++;
  i_request["id"] = id;
  mp_process->write(QJsonDocument(i_request).toJson(QJsonDocument::Compact) + '\n');
  QDeadlineTimer deadline(i_timeoutMs);
  QByteArray line;
  // A reply to an earlier request that timed out may still come first: skip it.
  while (ReadLine(line, int(qMax<qint64>(0, deadline.remainingTime())))) {
    const QJsonObject reply = QJsonDocument::fromJson(line).object();
    if (reply.value("id").toInteger(-1) == id)
      return reply;
  }
  qWarning("TestServer: no reply to %s", QJsonDocument(i_request).toJson(QJsonDocument::Compact).constData());
  return Failure("no reply");
}

bool TestServer::Send(QString i_user, quint32 i_code, QJsonArray i_fields)
{
  return Command({{"cmd", "send"}, {"user", i_user}, {"code", qint64(i_code)}, {"fields", i_fields}})
    .value("ok").toBool();
}

bool TestServer::Raw(QString i_user, QByteArray i_bytes)
{
  return Command({{"cmd", "raw"}, {"user", i_user}, {"hex", QString::fromLatin1(i_bytes.toHex())}})
    .value("ok").toBool();
}

bool TestServer::Drop(QString i_user, bool i_flushed)
{
  return Command({{"cmd", "drop"}, {"user", i_user}, {"flushed", i_flushed}}).value("ok").toBool();
}

QJsonArray TestServer::Received(QString i_user, int i_code)
{
  QJsonObject request{{"cmd", "received"}, {"user", i_user}};
  if (i_code >= 0)
    request["code"] = i_code;
  return Command(request).value("messages").toArray();
}

bool TestServer::WaitFor(QString i_user, quint32 i_code, int i_count, int i_timeoutMs)
{
  const QJsonObject request{{"cmd", "wait"},
                            {"user", i_user},
                            {"code", qint64(i_code)},
                            {"count", i_count},
                            {"timeout", i_timeoutMs / 1000.0}};
  return Command(request, i_timeoutMs + 5000).value("ok").toBool();
}

QJsonArray TestServer::Users()
{
  return Command({{"cmd", "users"}}).value("users").toArray();
}

bool TestServer::Set(QString i_option, QJsonValue i_value)
{
  return Command({{"cmd", "set"}, {"option", i_option}, {"value", i_value}}).value("ok").toBool();
}

int TestServer::LoginCount(QString i_user)
{
  return Command({{"cmd", "login_count"}, {"user", i_user}}).value("count").toInt(-1);
}
