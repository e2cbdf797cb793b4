#include "PeerProviders.h"

ShareListProvider* gp_shareListProvider = nullptr;
UploadPlaceProvider* gp_uploadPlaceProvider = nullptr;
TransferExpectations* gp_transferExpectations = nullptr;
