#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

class QProcess;

// The scripted central server (tests/tools/testserver.py, found through
// $TV_TESTSERVER) as a child process. It is driven through its control
// channel on the child's stdin and stdout, which needs nothing beyond Qt Core
// and ends the server by itself should this process die. Every call waits with
// the event loop spinning, so a client living in this process keeps running.
class TestServer
{
public:
  TestServer();
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // Starts the server with its command-line options; false when it did not
  // come up within 10 s.
  bool Start(QStringList i_args = {});
  // Asks the server to quit; kills it when it does not. The destructor calls it.
  void Stop();

  quint16 Port() const { return m_port; }
  quint16 ControlPort() const { return m_controlPort; }

  // One control request; the reply object, or {"ok":false,"error":...} on a
  // time-out or a dead server.
  QJsonObject Command(QJsonObject i_request, int i_timeoutMs = 10000);

  // Fields are [type, value] pairs: ["string","bob"], ["u32",2], ["i32",-1],
  // ["i64",5], ["byte",1], ["ip","1.2.3.4"], ["bytes_hex","00ff"],
  // ["string_hex","c3a9"], ["latin1",...], ["utf8",...].
  bool Send(QString i_user, quint32 i_code, QJsonArray i_fields = {});
  bool Raw(QString i_user, QByteArray i_bytes);
  // i_flushed: after what was sent to the user has been written.
  bool Drop(QString i_user, bool i_flushed = false);
  // Messages the server received from the user's connections, oldest first:
  // {"index","conn","code","hex","fields"}; i_code < 0 means every code.
  QJsonArray Received(QString i_user, int i_code = -1);
  bool WaitFor(QString i_user, quint32 i_code, int i_count, int i_timeoutMs);
  QJsonArray Users();
  bool Set(QString i_option, QJsonValue i_value);
  int LoginCount(QString i_user);

private:
  bool ReadLine(QByteArray& o_line, int i_timeoutMs);

  QProcess* mp_process = nullptr;
  QByteArray m_buffer;
  quint16 m_port = 0;
  quint16 m_controlPort = 0;
  qint64 m_nextId = 1;
};
