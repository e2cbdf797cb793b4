#pragma once
// An IPv4 address and a port as the server sends them. The address is the
// wire "ip": (a<<24)|(b<<16)|(c<<8)|d for a.b.c.d.

#include "Stream.h"

#include <QHostAddress>
#include <QString>

class TCPAddress : public Persistent
{
public:
    TCPAddress() = default;
    TCPAddress(quint32 i_ip, quint16 i_port) : m_ip(i_ip), m_port(i_port) {}

    // A non-IPv4 address (other than an IPv4-mapped IPv6 one) gives ip 0.
    static TCPAddress FromHostAddress(const QHostAddress& i_address, quint16 i_port);
    // Parses "a.b.c.d"; false (and i_ip untouched) for anything else.
    static bool ParseDottedIp(const QString& i_text, quint32& i_ip);

    QHostAddress GetHostAddress() const { return QHostAddress(m_ip); }
    QString GetDottedIp() const;
    // "a.b.c.d:port", for log lines.
    QString ToString() const;

    // An address of 0 or a port of 0 means unknown or offline.
    bool IsValid() const { return m_ip != 0 && m_port != 0; }

    // Wire: ip, then the port as uint32 (a port over 65535 fails).
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator==(const TCPAddress& i_other) const
    {
        return m_ip == i_other.m_ip && m_port == i_other.m_port;
    }
    bool operator!=(const TCPAddress& i_other) const { return !(*this == i_other); }

    quint32 m_ip = 0;
    quint16 m_port = 0;
};
