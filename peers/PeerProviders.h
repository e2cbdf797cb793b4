#pragma once
// What the peer network asks of the layers built on top of it. The peer
// network answers some peer requests with data it does not own (the share
// list, a folder's contents, an upload's place in line), on the connection
// the request came on; the owners implement these interfaces
// and set the global pointers, which stay null until then. Dependencies
// thus point one way: peers/ never includes shares/ or transfers/.

#include "MemStream.h"

#include <QByteArray>

#include <string>
#include <utility>

// Implemented by the shared-files manager. i_reached: the request came on a
// connection that reaches the user it names; otherwise the name is only
// claimed, and the answer is what a user on no list and in no group is
// shown (nothing for an excluded name).
class ShareListProvider
{
public:
    virtual ~ShareListProvider() = default;
    // The complete share-list message (code 5 and its compressed body) for
    // the requesting user, restricted to what that user may see. Users who
    // see alike get the same bytes, held once, while the share is unchanged.
    virtual QByteArray GetSharedFilesReply(std::string i_user, bool i_reached) = 0;
    // The folder-contents message (code 37) answering request i_req for a
    // folder in wire form; empty when the user may not see that folder.
    virtual MemStream GetFolderContentsMessage(std::string i_user, unsigned int i_req, std::string i_folder,
                                               bool i_reached) = 0;
    // The size that message would have (0: none), asked before the request
    // is read so that a small answer need not wait behind large ones.
    // Measured on the message itself unless the owner knows it cheaper.
    virtual size_t FolderContentsSize(std::string i_user, std::string i_folder, bool i_reached)
    {
        return GetFolderContentsMessage(std::move(i_user), 0, std::move(i_folder), i_reached).Size();
    }
    // Whether the user is shown more than a stranger: only then is a claim
    // of his name worth a proof before his request is answered.
    virtual bool ShowsMoreThanToStrangers(const std::string&) { return false; }
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

// Implemented by the transfer queue.
class TransferExpectations
{
public:
    virtual ~TransferExpectations() = default;
    // Whether we wait for something of the user: a download of ours from
    // the user that is not complete, or an upload to the user under way.
    virtual bool ExpectsTransferWith(const std::string& i_user) = 0;
};

// Set by the implementing object's constructor, cleared by its destructor.
extern ShareListProvider* gp_shareListProvider;
extern UploadPlaceProvider* gp_uploadPlaceProvider;
extern TransferExpectations* gp_transferExpectations;
