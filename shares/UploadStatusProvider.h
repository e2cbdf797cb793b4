#pragma once
// What the shared files report about this client's uploads with every
// search reply. The upload queue owns those figures but sits above shares/,
// so it implements this interface and sets the global pointer, which stays
// null until then.

// Implemented by the upload queue.
class UploadStatusProvider
{
public:
    virtual ~UploadStatusProvider() = default;
    // Whether an upload slot is free now.
    virtual bool IsFreeToUpload() = 0;
    // The number of uploads waiting in the queue.
    virtual unsigned int QueuedUploadCount() = 0;
};

// Set by the implementing object's constructor, cleared by its destructor.
// While it is null, search replies say no slot is free and 0 are queued.
extern UploadStatusProvider* gp_uploadStatusProvider;
