#pragma once

#include <memory>

#include "platform/engine/SambaServing.h"

namespace quillet {

class SambaConfigReader;

// The engine's question (SambaServing.h) answered from Samba's configuration.
SambaServingSource ServingFromConfig(std::shared_ptr<SambaConfigReader> reader);

// Lets the engine ask which shares of the Samba on this computer serve a database, through
// SambaConfigReader::Shared(). Where Samba is absent or its configuration unchanged, a
// question costs a stat of a few files and the matching of the shares' folders.
void AskSambaForServingShares();

}  // namespace quillet
