#include "platform/samba/SambaOpeners.h"

#include "platform/samba/SambaStatus.h"

namespace quillet {

OtherOpenersSource AskingSamba(std::shared_ptr<SambaStatusReader> reader) {
  return [reader](dev_t device, ino_t inode) {
    const SambaTable table = reader->read();
    OtherOpeners answer{table.read, table.reason, {}, {}};
    for (const SambaOpen& open : OpensOf(table, device, inode))
      answer.openers.push_back(
          OtherOpener{open.machine, open.user, open.address, open.shutsOutOthers});
    for (const SambaLock& lock : SambaLocksOf(table, device, inode))
      answer.locks.push_back(HeldLock{lock.write, lock.start, lock.end});
    return answer;
  };
}

void AskSambaForOtherOpeners() {
  // The process's own reader lives as long as the process: nothing to own.
  SetOtherOpenersSource(
      AskingSamba(std::shared_ptr<SambaStatusReader>(&SambaStatusReader::Shared(), [](auto*) {})));
}

}  // namespace quillet
