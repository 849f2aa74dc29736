#include "platform/engine/Ado.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/base/AsciiCase.h"
#include "platform/base/ErrorTexts.h"
#include "platform/engine/JetSession.h"

namespace quillet {

namespace {

constexpr int32_t adAsyncConnect = 16;
constexpr int32_t adModeWrite = 2;
constexpr int32_t adModeShareDenyNone = 16;
constexpr int32_t adModeAllFlags =
    adModeRead | adModeWrite | adModeShareExclusive | adModeShareDenyNone;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The errors the Connection object raises itself, with ADO's texts.
constexpr ErrorText kAdoErrors[] = {
    {adErrObjectOpen, "Operation is not allowed when the object is open."},
    {adErrObjectClosed, "Operation is not allowed when the object is closed."},
    {adErrProviderNotFound, "Provider cannot be found. It may not be properly installed."},
    {adErrItemNotFound,
     "Item cannot be found in the collection corresponding to the requested name or ordinal."},
    {adErrDataConversion, "Application uses a value of the wrong type for the current operation."},
    {adErrInvalidArgument,
     "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one "
     "another."},
};

// The provider's own texts for what it refuses itself, handed on as kAdoProviderError.
constexpr char kInstallableIsamNotFound[] = "Could not find installable ISAM.";
constexpr char kModeUnreadableBesideAnotherEngine[] =
    "The locking mode cannot be read while another database engine has the file open.";
constexpr char kModeUnreadable[] = "The locking mode cannot be read. ";  // then why

Status AdoError(int32_t number) {
  const char* text = FindErrorText(kAdoErrors, number);
  return Status::Error(ErrorSource::kAdo, number, text != nullptr ? text : "");
}

Status ProviderError(std::string description) {
  return Status::Error(ErrorSource::kAdo, kAdoProviderError, std::move(description));
}

Status FromProvider(const Status& status) { return ProviderError(status.description()); }

enum class Property { kDataSource, kLockingMode, kUnknown };

Property Lookup(std::string_view name) {
  if (EqualsIgnoringAsciiCase(name, kPropDataSource)) return Property::kDataSource;
  if (EqualsIgnoringAsciiCase(name, kPropLockingMode)) return Property::kLockingMode;
  return Property::kUnknown;
}

bool ToInt32(const PropertyValue& value, int32_t* number) {
  if (std::holds_alternative<std::monostate>(value)) {
    *number = 0;
    return true;
  }
  if (const int32_t* n = std::get_if<int32_t>(&value)) {
    *number = *n;
    return true;
  }
  const std::string_view text = Trimmed(std::get<std::string>(value));
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *number);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string ToText(const PropertyValue& value) {
  if (const int32_t* n = std::get_if<int32_t>(&value)) return std::to_string(*n);
  if (const std::string* text = std::get_if<std::string>(&value)) return *text;
  return std::string();
}

}  // namespace

Connection::Connection() = default;
Connection::~Connection() = default;  // an open session leaves the database as it goes

Status Connection::SetProvider(const std::string& provider) {
  if (IsOpen()) return AdoError(adErrObjectOpen);
  provider_ = provider;
  return Status::OK();
}

bool Connection::IsOpen() const { return session_ && session_->IsOpen(); }

Status Connection::SetProperty(const std::string& name, const PropertyValue& value) {
  if (!EqualsIgnoringAsciiCase(provider_, kJetOleDbProvider))
    return AdoError(adErrProviderNotFound);
  const Property property = Lookup(name);
  if (property == Property::kUnknown) return AdoError(adErrItemNotFound);
  if (IsOpen()) return AdoError(adErrObjectOpen);  // both are initialization properties
  if (property == Property::kDataSource) {
    dataSource_ = ToText(value);
    return Status::OK();
  }
  int32_t mode;
  if (!ToInt32(value, &mode)) return AdoError(adErrDataConversion);
  requestedLockingMode_ = mode;
  return Status::OK();
}

Status Connection::GetProperty(const std::string& name, PropertyValue* value) const {
  if (!EqualsIgnoringAsciiCase(provider_, kJetOleDbProvider))
    return AdoError(adErrProviderNotFound);
  switch (Lookup(name)) {
    case Property::kDataSource: *value = dataSource_; return Status::OK();
    case Property::kLockingMode:
      // Once open, the mode in effect, which a later opener may not have chosen. While
      // another engine has the file open nobody here can know it: that engine never sees
      // our locks, so it may run in either mode.
      if (!IsOpen()) {
        *value = requestedLockingMode_;
      } else if (!session_->Mount().seen()) {
        return ProviderError(kModeUnreadable + LocksUnseenReason(session_->Mount()));
      } else if (session_->AnotherEnginePresent()) {
        return ProviderError(kModeUnreadableBesideAnotherEngine);
      } else {
        *value = static_cast<int32_t>(session_->Level());
      }
      return Status::OK();
    default: return AdoError(adErrItemNotFound);
  }
}

Status Connection::SetMode(int32_t mode) {
  if (IsOpen()) return AdoError(adErrObjectOpen);
  if (mode < 0 || (mode & ~adModeAllFlags) != 0) return AdoError(adErrInvalidArgument);
  mode_ = mode;
  return Status::OK();
}

Status Connection::Open(const std::string& connectionString, const std::string& userId,
                        const std::string& /*password*/, int32_t options) {
  if (IsOpen()) return AdoError(adErrObjectOpen);
  if (options != adOptionUnspecified && options != 0 && options != adAsyncConnect)
    return AdoError(adErrInvalidArgument);

  // "Key=Value;Key=Value": the provider first, so the properties after it find their
  // collection.
  std::string_view rest = connectionString;
  while (!rest.empty()) {
    const size_t semicolon = rest.find(';');
    const std::string_view item = Trimmed(rest.substr(0, semicolon));
    rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    const std::string_view key = Trimmed(item.substr(0, equals));
    const std::string value(equals == std::string_view::npos ? std::string_view()
                                                             : Trimmed(item.substr(equals + 1)));
    Status status = EqualsIgnoringAsciiCase(key, "Provider") ? SetProvider(value)
                                                             : SetProperty(std::string(key), value);
    if (status.Is(ErrorSource::kAdo, adErrItemNotFound))
      return ProviderError(kInstallableIsamNotFound);
    if (!status.ok()) return status;
  }

  if (!EqualsIgnoringAsciiCase(provider_, kJetOleDbProvider))
    return AdoError(adErrProviderNotFound);

  JetOpenRequest request;
  request.level = LockingModeAskedBy(requestedLockingMode_);
  request.exclusive = (mode_ & adModeShareExclusive) == adModeShareExclusive;
  request.readOnly = (mode_ & (adModeRead | adModeWrite)) == adModeRead;
  if (!userId.empty()) request.userName = userId;

  std::unique_ptr<JetSession> session;
  const Status status = JetSession::Open(dataSource_, request, &session);
  if (!status.ok()) return FromProvider(status);
  session_ = std::move(session);
  return Status::OK();
}

Status Connection::Close() {
  if (!IsOpen()) return AdoError(adErrObjectClosed);
  session_.reset();
  return Status::OK();
}

}  // namespace quillet
