#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace quillet::test {

// A user (another one, or this process's own) who swaps names in folders of theirs as fast as the
// kernel lets them (renameat2 with RENAME_EXCHANGE: both names exist at every instant), in a
// process of its own, for at most `seconds`: each pair is exchanged and exchanged back in turn. A
// folder and a link to somebody else's folder, so that a path through that name leads now here, now
// there; or a file and a link to a device.
class NameSwapper {
 public:
  using Pair = std::pair<std::string, std::string>;
  NameSwapper(uid_t uid, std::vector<Pair> pairs, int seconds);
  ~NameSwapper();  // stops it, the names left as they are then
  NameSwapper(const NameSwapper&) = delete;
  NameSwapper& operator=(const NameSwapper&) = delete;

  bool running() const { return pid_ > 0; }
  long swaps() const;  // how many exchanges it has made so far; -1 if one failed

 private:
  pid_t pid_ = -1;
  long* shared_ = nullptr;  // counted by the swapper, in memory it shares with this process
};

}  // namespace quillet::test
