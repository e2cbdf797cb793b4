#pragma once
// Common set-up of the shared-files tests: a fresh global store with the
// types the server connection and the peer network create before the
// shared-files manager, a data saver, the manager itself, and helpers that
// build real folders and files on disk.

#include "DataSaver.h"
#include "Log.h"
#include "SharedFoldersManager.h"
#include "server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <memory>
#include <string>

namespace sharestest
{

// The whole store as the start-up order builds it up to the shared files.
class Environment
{
public:
    Environment() { Build(); }
    ~Environment() { TearDown(); }

    void Build()
    {
        d->Reset();
        mp_dataSaver = std::make_unique<DataSaver>();
        mp_server = std::make_unique<Server>();
        mp_server->CreateData();
        // The peer network's file attribute types.
        for (const char* type : {"file_size", "length_seconds", "mpeg_version", "channel_mode",
                                 "audio_frequency", "bitrate_mode", "bitrate"})
            if (!d->HasType(type))
                d->NewType(type, false, false, true);
        mp_manager = std::make_unique<SharedFoldersManager>();
    }

    void TearDown()
    {
        mp_manager.reset();
        mp_server.reset();
        mp_dataSaver.reset();
        d->Reset();
    }

    // Destroys the manager alone, as shut-down does before the store goes.
    void DestroyManager() { mp_manager.reset(); }

    SharedFoldersManager* Manager() const { return mp_manager.get(); }
    DataSaver* Saver() const { return mp_dataSaver.get(); }

private:
    std::unique_ptr<DataSaver> mp_dataSaver;
    std::unique_ptr<Server> mp_server;
    std::unique_ptr<SharedFoldersManager> mp_manager;
};

// Collects the log lines of one category while it lives.
class LogCapture
{
public:
    explicit LogCapture(const QString& i_category)
    {
        SetLogSink([this, i_category](const QString& i_cat, int, const QString& i_text, ItemPtr) {
            if (i_cat == i_category)
                m_lines << i_text;
        });
    }
    ~LogCapture() { ClearLogSink(); }
    const QStringList& Lines() const { return m_lines; }
    int Count(const QString& i_part) const
    {
        int n = 0;
        for (const QString& line : m_lines)
            if (line.contains(i_part))
                ++n;
        return n;
    }

private:
    QStringList m_lines;
};

inline std::string U8(const QString& i_text)
{
    const QByteArray bytes = i_text.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

// Writes a file of i_size bytes, creating the folders above it.
inline void MakeFile(const QString& i_path, qint64 i_size = 10)
{
    QDir().mkpath(QFileInfo(i_path).absolutePath());
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot create %s", qPrintable(i_path));
    f.write(QByteArray(int(i_size), 'x'));
}

inline ItemPtr Share(const QString& i_folder)
{
    return T("shared_folder")->GetItem(U8(i_folder));
}

inline ItemPtr FolderItem(const QString& i_folder)
{
    return T("shared_file_folder")->HasItem(U8(i_folder));
}

// The `shared_file` of that folder and name, looked up exactly.
inline ItemPtr FileItem(const QString& i_folder, const QString& i_name)
{
    ItemPtr folder = FolderItem(i_folder);
    ItemPtr name = T("shared_file_name")->HasItem(U8(i_name));
    if (!folder || !name)
        return ItemPtr();
    return d->GetItem(folder, name, "shared_file");
}

inline bool HasToken(ItemPtr i_file, const std::string& i_token)
{
    ItemPtr token = T("search_token")->HasItem(i_token);
    return token && i_file.IsConnected(token);
}

} // namespace sharestest
