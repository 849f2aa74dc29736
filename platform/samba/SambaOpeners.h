#pragma once

#include <memory>

#include "platform/engine/OtherOpeners.h"

namespace quillet {

class SambaStatusReader;

// The engine's question (OtherOpeners.h) answered from a reader of Samba's open files.
OtherOpenersSource AskingSamba(std::shared_ptr<SambaStatusReader> reader);

// Lets the engine ask the Samba server on this computer which of its clients have a file
// open, through SambaStatusReader::Shared(). Called once at start by each program; where no
// smbd runs each question costs a look at a remembered answer.
void AskSambaForOtherOpeners();

}  // namespace quillet
