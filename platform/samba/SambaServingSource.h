#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/engine/SambaServing.h"

namespace quillet {

class SambaConfigReader;

// The engine's question (SambaServing.h) answered from Samba's configuration.
SambaServingSource ServingFromConfig(std::shared_ptr<SambaConfigReader> reader);

// `source` with each path's answer remembered for a second (by `now`). The engine asks on every
// open, the probe's included, and a question of its own costs a stat of each of Samba's files
// and the resolution of the path: more than the open. A changed configuration is seen within
// the second, before smbd itself has reloaded it.
using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;
SambaServingSource RememberedForASecond(SambaServingSource source,
                                        SteadyNow now = std::chrono::steady_clock::now);

// Lets the engine ask which shares of the Samba on this computer serve a database, through
// SambaConfigReader::Shared(), each path's answer remembered for a second. Where Samba is
// absent or its configuration unchanged, a question asked again within the second costs a
// look at the remembered answer; else a stat of a few files and the matching of the shares'
// folders.
void AskSambaForServingShares();

}  // namespace quillet
