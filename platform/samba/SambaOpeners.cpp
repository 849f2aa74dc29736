#include "platform/samba/SambaOpeners.h"

#include "platform/engine/OtherOpeners.h"
#include "platform/samba/SambaStatus.h"

namespace quillet {

void AskSambaForOtherOpeners() {
  SetOtherOpenersSource([](dev_t device, ino_t inode) {
    const SambaTable table = SambaStatusReader::Shared().read();
    OtherOpeners answer{table.read, table.reason, {}};
    for (const SambaOpen& open : OpensOf(table, device, inode))
      answer.openers.push_back(
          OtherOpener{open.machine, open.user, open.address, open.shutsOutOthers});
    return answer;
  });
}

}  // namespace quillet
