// Proves the C++ helper around the scripted server: a raw socket logs in while
// the helper inspects and steers the server.

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include "common/TestServer.h"

namespace {

const int g_timeoutMs = 5000;

QByteArray U32(quint32 i_value)
{
  QByteArray out(4, '\0');
  qToLittleEndian(i_value, out.data());
  return out;
}

QByteArray Str(const QByteArray& i_bytes)
{
  return U32(quint32(i_bytes.size())) + i_bytes;
}

QByteArray Frame(quint32 i_code, const QByteArray& i_body)
{
  return U32(quint32(i_body.size() + 4)) + U32(i_code) + i_body;
}

QByteArray LoginFrame(const QByteArray& i_user, const QByteArray& i_password)
{
  const QByteArray digest = QCryptographicHash::hash(i_user + i_password, QCryptographicHash::Md5).toHex();
  return Frame(1001, Str(i_user) + Str(digest) + U32(1));
}

// The next whole frame as (code, body); code 0 when none came in time.
QPair<quint32, QByteArray> ReadFrame(QTcpSocket& io_socket)
{
  if (!QTest::qWaitFor([&] { return io_socket.bytesAvailable() >= 4; }, g_timeoutMs))
    return {0, {}};
  const quint32 length = qFromLittleEndian<quint32>(io_socket.peek(4).constData());
  if (length < 4 || length > 1024 * 1024)
    return {0, {}};
  if (!QTest::qWaitFor([&] { return io_socket.bytesAvailable() >= qint64(length) + 4; }, g_timeoutMs))
    return {0, {}};
  const QByteArray frame = io_socket.read(qint64(length) + 4);
  return {qFromLittleEndian<quint32>(frame.constData() + 4), frame.mid(8)};
}

bool Connect(QTcpSocket& io_socket, quint16 i_port)
{
  io_socket.connectToHost(QHostAddress::LocalHost, i_port);
  return QTest::qWaitFor([&] { return io_socket.state() == QAbstractSocket::ConnectedState; }, g_timeoutMs);
}

} // namespace

class TestTestServerClient : public QObject
{
  Q_OBJECT

private slots:
  void LoginAndSteer();
  void RefusedLogin();
  void BadOptionsFailToStart();
};

void TestTestServerClient::LoginAndSteer()
{
  TestServer server;
  QVERIFY(server.Start({"--accounts", "alice:secret", "--wish-interval", "5"}));
  QVERIFY(server.Port() != 0);
  QVERIFY(server.ControlPort() != 0);

  QTcpSocket socket;
  QVERIFY(Connect(socket, server.Port()));
  socket.write(LoginFrame("alice", "secret"));
  auto reply = ReadFrame(socket);
  QCOMPARE(reply.first, 1001u);
  QCOMPARE(reply.second.left(1), QByteArray(1, '\1'));
  reply = ReadFrame(socket);
  QCOMPARE(reply.first, 1021u);
  QCOMPARE(reply.second, U32(5));
  QCOMPARE(ReadFrame(socket).first, 1008u);

  QVERIFY(server.WaitFor("alice", 1001, 1, g_timeoutMs));
  QCOMPARE(server.LoginCount("alice"), 1);
  const QJsonArray logins = server.Received("alice", 1001);
  QCOMPARE(logins.size(), 1);
  QCOMPARE(logins[0].toObject()["fields"].toObject()["digest"].toString(),
           QString::fromLatin1(QCryptographicHash::hash("alicesecret", QCryptographicHash::Md5).toHex()));

  // What the client reports is kept; the waits spin the event loop meanwhile.
  socket.write(Frame(1002, U32(2235) + U32(0)));
  socket.write(Frame(1022, QByteArray(1, '\1')));
  QVERIFY(server.WaitFor("alice", 1022, 1, g_timeoutMs));
  const QJsonArray users = server.Users();
  QCOMPARE(users.size(), 1);
  QCOMPARE(users[0].toObject()["port"].toInt(), 2235);
  QCOMPARE(users[0].toObject()["no_parent"].toBool(), true);
  QCOMPARE(ReadFrame(socket).first, 1025u); // possible parents: none yet
  QCOMPARE(server.Received("alice").size(), 3);

  QVERIFY(server.Send("alice", 1016,
                      {QJsonArray{"u32", 7}, QJsonArray{"u32", 0}, QJsonArray{"string", "bob"},
                       QJsonArray{"utf8", QString::fromUtf8("h\xc3\xa9")}, QJsonArray{"byte", 1}}));
  reply = ReadFrame(socket);
  QCOMPARE(reply.first, 1016u);
  QCOMPARE(reply.second, U32(7) + U32(0) + Str("bob") + Str("h\xc3\xa9") + QByteArray(1, '\1'));

  QVERIFY(server.Raw("alice", QByteArray::fromHex("0400000099000000")));
  QCOMPARE(ReadFrame(socket).first, 0x99u);
  QVERIFY(server.Set("wish_interval", 0));
  reply = ReadFrame(socket);
  QCOMPARE(reply.first, 1021u);
  QCOMPARE(reply.second, U32(0));

  QVERIFY(!server.Send("nobody", 1, {}));
  QVERIFY(!server.Set("no_such_option", 1));
  QCOMPARE(server.Command({{"cmd", "bogus"}})["ok"].toBool(), false);

  QVERIFY(server.Drop("alice"));
  QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, g_timeoutMs));
  QVERIFY(server.Users().isEmpty());
}

void TestTestServerClient::RefusedLogin()
{
  TestServer server;
  QVERIFY(server.Start({"--accounts", "alice:secret"}));
  QTcpSocket socket;
  QVERIFY(Connect(socket, server.Port()));
  socket.write(LoginFrame("alice", "wrong"));
  const auto reply = ReadFrame(socket);
  QCOMPARE(reply.first, 1001u);
  QCOMPARE(reply.second, QByteArray(1, '\0') + Str("INVALIDPASS"));
  QCOMPARE(server.LoginCount("alice"), 0);
  server.Stop();
  QCOMPARE(server.Port(), quint16(0));
  QCOMPARE(server.Command({{"cmd", "users"}})["ok"].toBool(), false);
}

void TestTestServerClient::BadOptionsFailToStart()
{
  TestServer server;
  QVERIFY(!server.Start({"--no-such-option"}));
}

QTEST_GUILESS_MAIN(TestTestServerClient)
#include "test_testserver_client.moc"
