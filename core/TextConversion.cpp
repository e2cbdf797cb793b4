#include "TextConversion.h"

#include <QByteArray>
#include <QStringDecoder>

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

QString FromName(const std::string& i_bytes)
{
    // A leading byte-order mark is kept as a character: it is part of the name.
    QStringDecoder utf8(QStringConverter::Utf8,
                        QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    QString text = utf8.decode(QByteArrayView(i_bytes.data(), qsizetype(i_bytes.size())));
    return utf8.hasError() ? FromLatin1(i_bytes) : text;
}

std::string ToName(const QString& i_text)
{
    return ToUtf8(i_text);
}
