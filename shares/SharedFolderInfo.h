#pragma once
// The files of one folder, as a folder-contents reply carries them: a
// uint32 record count, the file records (ordered by name, then size; equal
// records held once), then a uint32 0.

#include "FileInfo.h"

#include <set>

class SharedFolderInfo : public Persistent
{
public:
    // Empties the set first. Fails on a short input or a count above the
    // folder limit, keeping the records read until then. A record whose
    // present byte is 0 carries nothing and is skipped.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    std::set<FileInfo> m_files;
};
