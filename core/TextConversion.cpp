#include "TextConversion.h"

#include <QByteArray>

// Sizes are passed explicitly so that embedded NUL bytes survive.

QString FromLatin1(const std::string& i_bytes)
{
    return QString::fromLatin1(i_bytes.data(), qsizetype(i_bytes.size()));
}

std::string ToLatin1(const QString& i_text)
{
    const QByteArray bytes = i_text.toLatin1();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

QString FromUtf8(const std::string& i_bytes)
{
    return QString::fromUtf8(i_bytes.data(), qsizetype(i_bytes.size()));
}

std::string ToUtf8(const QString& i_text)
{
    const QByteArray bytes = i_text.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}
