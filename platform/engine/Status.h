#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quillet {

// The outcome of a platform operation: 0 for success, or an error number with the
// description the real component would report (Jet, ADO or VB runtime numbers).
// Descriptions are bytes: they may quote file names that are not valid UTF-8.
class Status {
 public:
  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(int32_t number, std::string description) {
    return Status(number, std::move(description));
  }

  bool ok() const { return number_ == 0; }
  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }

 private:
  Status(int32_t number, std::string description)
      : number_(number), description_(std::move(description)) {}

  int32_t number_ = 0;
  std::string description_;
};

}  // namespace quillet
