#pragma once
// Common set-up of the server-connection tests: the global store with the
// settings types, the shared timers, the data saver, a Server logged in to
// the scripted test server, and small helpers to build messages and wait.

#include "common/TestEnvironment.h"
#include "DataSaver.h"
#include "Log.h"
#include "ProtocolCodes.h"
#include "TimerManager.h"
#include "common/TestServer.h"
#include "server.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <string>
#include <vector>

namespace servertest
{
const int g_waitMs = 10000;

inline QJsonArray F(const char* ip_kind, const QJsonValue& i_value)
{
    return QJsonArray{QString::fromLatin1(ip_kind), i_value};
}
inline QJsonArray Str(const QString& i_text) { return F("latin1", i_text); }
inline QJsonArray Utf8(const QString& i_text) { return F("utf8", i_text); }
inline QJsonArray U32(qint64 i_value) { return F("u32", i_value); }
inline QJsonArray I32(qint64 i_value) { return F("i32", i_value); }
inline QJsonArray I64(qint64 i_value) { return F("i64", i_value); }
inline QJsonArray Byte(int i_value) { return F("byte", i_value); }

// UserStats fields: speed, uploads, files, folders.
inline QJsonArray Stats(int i_speed, qint64 i_uploads, int i_files, int i_folders)
{
    return QJsonArray{I32(i_speed), I64(i_uploads), I32(i_files), I32(i_folders)};
}

inline QJsonArray Fields(std::initializer_list<QJsonValue> i_parts)
{
    // Nested arrays of fields (such as Stats) are flattened.
    QJsonArray out;
    for (const QJsonValue& part : i_parts)
    {
        const QJsonArray a = part.toArray();
        if (!a.isEmpty() && a[0].isArray())
            for (const QJsonValue& inner : a)
                out.append(inner);
        else
            out.append(part);
    }
    return out;
}

inline QByteArray LE32(quint32 i_value)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(i_value, b.data());
    return b;
}

inline QString Md5Hex(const QByteArray& i_bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(i_bytes, QCryptographicHash::Md5).toHex());
}

inline QJsonObject FieldsOf(const QJsonValue& i_entry)
{
    return i_entry.toObject().value("fields").toObject();
}

inline std::string S(const char* ip_text) { return std::string(ip_text); }

inline Item* UserItem(const std::string& i_name) { return T("user")->HasItem(i_name); }
inline bool HasFlag(const std::string& i_user, const char* ip_flag)
{
    Item* user = UserItem(i_user);
    return user && user->IsConnected(ip_flag);
}
inline std::string ValueOf(const std::string& i_user, const char* ip_type)
{
    return ItemPtr(UserItem(i_user))[ip_type].AsString();
}

// The test process's part of start-up: settings types, timers (stopped, so
// only the test ticks them), the saver, and the server connection.
class Fixture
{
public:
    std::vector<QString> m_logLines;

    void SetUp()
    {
        ResetTestEnvironment();
        m_logLines.clear();
        SetLogSink([this](const QString& i_category, int, const QString& i_text, ItemPtr) {
            if (i_category == QLatin1String("server"))
                m_logLines.push_back(i_text);
        });
    }

    Server* NewServer()
    {
        Server* server = new Server;
        server->CreateData();
        server->SetConnectTimeout(2000);
        return server;
    }

    void Credentials(const char* ip_user, const char* ip_password, quint16 i_port)
    {
        SetSetting("username", ip_user);
        SetSetting("password", ip_password);
        SetSetting("server_host", "127.0.0.1");
        SetSetting("server_port", std::to_string(i_port));
    }

    void TearDown()
    {
        delete gp_server;
        ClearLogSink();
        d->Reset();
    }

    bool LoggedLine(const QString& i_part) const
    {
        for (const QString& line : m_logLines)
            if (line.contains(i_part))
                return true;
        return false;
    }
};

// Connects and waits for the login to be accepted.
inline bool LogIn(Server* ip_server)
{
    QSignalSpy connected(ip_server, &Server::Connected);
    ip_server->Connect();
    return QTest::qWaitFor([&] { return connected.count() > 0; }, g_waitMs) && ip_server->IsConnected();
}

// Waits until the client has handled everything the server sent so far: a
// wish-list interval of a value nothing else uses is sent last and awaited.
inline bool Sync(TestServer& i_server, Server* ip_server, const QString& i_user)
{
    static quint32 marker = 900000;
    const quint32 value = ++marker;
    bool seen = false;
    QMetaObject::Connection c = QObject::connect(ip_server, &Server::WishListIntervalChanged,
                                                 [&](unsigned int i_seconds) { seen = seen || i_seconds == value; });
    const bool sent = i_server.Send(i_user, SM_WISH_LIST_INTERVAL, {U32(value)});
    const bool ok = sent && QTest::qWaitFor([&] { return seen; }, g_waitMs);
    QObject::disconnect(c);
    return ok;
}

// Waits until the spy holds at least i_count signals. Calls on the test
// server spin the event loop, so a signal may come before the wait starts.
inline bool Reached(QSignalSpy& i_spy, int i_count)
{
    return QTest::qWaitFor([&] { return i_spy.count() >= i_count; }, g_waitMs);
}

// Emits the shared 30-second tick the way the timer does.
inline void HalfMinuteTick()
{
    QMetaObject::invokeMethod(timerManager->HalfMinuteTimer(), "timeout");
}
}
