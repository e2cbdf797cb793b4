#include "TCPAddress.h"

#include <QStringList>

TCPAddress TCPAddress::FromHostAddress(const QHostAddress& i_address, quint16 i_port)
{
    bool isIPv4 = false;
    const quint32 ip = i_address.toIPv4Address(&isIPv4);
    return TCPAddress(isIPv4 ? ip : 0, i_port);
}

bool TCPAddress::ParseDottedIp(const QString& i_text, quint32& i_ip)
{
    const QStringList parts = i_text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    quint32 ip = 0;
    for (const QString& part : parts)
    {
        // Digits only: no signs, spaces or other bases.
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        const uint value = part.toUInt();
        if (value > 255)
            return false;
        ip = (ip << 8) | value;
    }
    i_ip = ip;
    return true;
}

QString TCPAddress::GetDottedIp() const
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(m_ip >> 24)
        .arg((m_ip >> 16) & 0xff)
        .arg((m_ip >> 8) & 0xff)
        .arg(m_ip & 0xff);
}

QString TCPAddress::ToString() const
{
    return GetDottedIp() + QLatin1Char(':') + QString::number(m_port);
}

bool TCPAddress::Read(InputStream& i_stream)
{
    quint32 ip = 0;
    quint32 port = 0;
    i_stream.ReadUInt32(ip);
    i_stream.ReadUInt32(port);
    if (i_stream.Ok() && port > 0xffff)
        i_stream.Fail();
    if (!i_stream.Ok())
        return false;
    m_ip = ip;
    m_port = static_cast<quint16>(port);
    return true;
}

bool TCPAddress::Write(OutputStream& i_stream) const
{
    return i_stream.WriteUInt32(m_ip) && i_stream.WriteUInt32(m_port);
}
