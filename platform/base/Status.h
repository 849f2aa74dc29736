#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quillet {

// Which component a failure's number is from: numbers repeat across components (Jet's
// 3001 "Invalid argument." is not ADO's 3001), so a number alone says nothing.
enum class ErrorSource { kNone, kVbRuntime, kJet, kAdo };

// The outcome of a platform operation: success, or an error number of one component with
// the description that component would report. Descriptions are bytes: they may quote
// file names that are not valid UTF-8.
class Status {
 public:
  Status() = default;
  static Status OK() { return Status(); }
  static Status Error(ErrorSource source, int32_t number, std::string description) {
    return Status(source, number, std::move(description));
  }

  bool ok() const { return number_ == 0; }
  ErrorSource source() const { return source_; }
  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }
  // Whether this is that component's failure of that number.
  bool Is(ErrorSource source, int32_t number) const {
    return source_ == source && number_ == number;
  }
  bool operator==(const Status& other) const = default;

 private:
  Status(ErrorSource source, int32_t number, std::string description)
      : source_(source), number_(number), description_(std::move(description)) {}

  ErrorSource source_ = ErrorSource::kNone;
  int32_t number_ = 0;
  std::string description_;
};

}  // namespace quillet
