#pragma once
// Where this client writes its unfinished downloads, which the walk of the
// shares never enters. The transfer queue owns the download folder but sits
// above shares/, so it implements this interface and sets the global
// pointer, which stays null until then.

#include <string>

// Implemented by the transfer queue.
class DownloadFolderProvider
{
public:
    virtual ~DownloadFolderProvider() = default;
    // The folder that holds the unfinished downloads, as a local path
    // (UTF-8, "/" separators), following the download folder setting as it
    // is now.
    virtual std::string UnfinishedDownloadsFolder() = 0;
};

// Set by the implementing object's constructor, cleared by its destructor.
extern DownloadFolderProvider* gp_downloadFolderProvider;
