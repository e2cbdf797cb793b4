#pragma once
// What the peer network asks of the layers built on top of it. The peer
// network answers some peer requests with data it does not own (the share
// list, an upload's place in line); the owners implement these interfaces
// and set the global pointers, which stay null until then. Dependencies
// thus point one way: peers/ never includes shares/ or transfers/.

#include "MemStream.h"

#include <string>

// Implemented by the shared-files manager.
class ShareListProvider
{
public:
    virtual ~ShareListProvider() = default;
    // The complete share-list message (code 5 and its compressed body) for
    // the requesting user, restricted to what that user may see.
    virtual MemStream GetSharedFilesMessage(std::string i_user) = 0;
};

// Implemented by the transfer queue.
class UploadPlaceProvider
{
public:
    virtual ~UploadPlaceProvider() = default;
    // The place in line of the user's upload entry whose requested file is
    // exactly i_file: false when there is none (no answer is sent); else
    // o_place is its 1-based rank among the queued uploads, or 0 when the
    // entry is not queued.
    virtual bool GetUploadPlaceInLine(const std::string& i_user, const std::string& i_file,
                                      int& o_place) = 0;
};

// Set by the implementing object's constructor, cleared by its destructor.
extern ShareListProvider* gp_shareListProvider;
extern UploadPlaceProvider* gp_uploadPlaceProvider;
