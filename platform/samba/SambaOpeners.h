#pragma once

namespace quillet {

// Lets the engine ask the Samba server on this computer which of its clients have a file
// open (OtherOpeners.h), through SambaStatusReader::Shared(). Called once at start by
// each program; where no smbd runs each question costs a look at a remembered answer.
void AskSambaForOtherOpeners();

}  // namespace quillet
