#pragma once
// Files for the tests that move them between clients: reproducible
// contents and writing them where the folders do not exist yet.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>

// The same seed gives the same bytes, so a failure can be replayed.
inline QByteArray RandomBytes(qint64 i_size, quint32 i_seed)
{
    QByteArray bytes(int(i_size), '\0');
    QRandomGenerator generator(i_seed);
    for (char& c : bytes)
        c = char(generator.generate());
    return bytes;
}

// Writes the file, making its folder first.
inline bool WriteFile(const QString& i_path, const QByteArray& i_bytes)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    return f.open(QIODevice::WriteOnly) && f.write(i_bytes) == i_bytes.size();
}
