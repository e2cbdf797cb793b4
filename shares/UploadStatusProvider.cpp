#include "UploadStatusProvider.h"

UploadStatusProvider* gp_uploadStatusProvider = nullptr;
