#include "DownloadFolderProvider.h"

DownloadFolderProvider* gp_downloadFolderProvider = nullptr;
