#pragma once
// A fresh store with the user and room types as the server connection makes
// them, for the diagnostics views.

#include "common/TestEnvironment.h"
#include "server.h"

#include <memory>

struct ServerTypesFixture {
    std::unique_ptr<Server> server;

    void Reset()
    {
        server.reset();
        ResetTestEnvironment();
        server = std::make_unique<Server>();
        server->CreateData();
    }
};
