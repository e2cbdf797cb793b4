#pragma once
// The data store; being written.
