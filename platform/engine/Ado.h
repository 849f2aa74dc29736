#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "platform/base/Status.h"

namespace quillet {

class JetSession;

inline constexpr const char* kJetOleDbProvider = "Microsoft.JET.OLEDB.4.0";
inline constexpr const char* kPropDataSource = "Data Source";
inline constexpr const char* kPropLockingMode = "Jet OLEDB:Database Locking Mode";

inline constexpr int32_t adUseServer = 2;
inline constexpr int32_t adOptionUnspecified = -1;
inline constexpr int32_t adModeUnknown = 0;
inline constexpr int32_t adModeRead = 1;
inline constexpr int32_t adModeShareExclusive = 12;

// ADO reports every failure of the provider underneath as E_FAIL with the provider's text.
inline constexpr int32_t kAdoProviderError = -2147467259;
inline constexpr int32_t adErrInvalidArgument = 3001;
inline constexpr int32_t adErrItemNotFound = 3265;
inline constexpr int32_t adErrDataConversion = 3421;
inline constexpr int32_t adErrObjectClosed = 3704;
inline constexpr int32_t adErrObjectOpen = 3705;
inline constexpr int32_t adErrProviderNotFound = 3706;

using PropertyValue = std::variant<std::monostate, int32_t, std::string>;

// An ADO Connection. Releasing it (destruction) closes it if it is still open.
class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Fails with adErrObjectOpen while the connection is open.
  Status SetProvider(const std::string& provider);

  // Properties(name).Value, set and read. Names are matched case-insensitively; an
  // unknown name fails with adErrItemNotFound, any name under an unknown provider with
  // adErrProviderNotFound. After Open, the locking-mode property reads the mode in effect;
  // that read fails while another engine has the file open, since its mode cannot be known.
  Status SetProperty(const std::string& name, const PropertyValue& value);
  Status GetProperty(const std::string& name, PropertyValue* value) const;

  // Accepted for ADO's sake; a file-based provider has no cursors to place.
  void SetCursorLocation(int32_t /*location*/) {}
  // Connection.Mode; adModeShareExclusive opens the file exclusively, adModeRead read-only.
  Status SetMode(int32_t mode);

  // A non-empty connection string ("Provider=...;Data Source=...;...") sets the provider
  // and properties it names first. userId, if given, is the user recorded in the lock file.
  // May block: up to 3 s for another connection's join or leave to finish, 5 s in all
  // (LockProtocol.h); microseconds when nobody misbehaves.
  Status Open(const std::string& connectionString = {}, const std::string& userId = {},
              const std::string& password = {}, int32_t options = adOptionUnspecified);
  // May block up to 3 s waiting for another connection's join or leave; never fails to
  // let go of the file. Releasing an open connection does the same.
  Status Close();
  bool IsOpen() const;

 private:
  std::string provider_;
  std::string dataSource_;
  int32_t requestedLockingMode_ = 0;
  int32_t mode_ = adModeUnknown;
  std::unique_ptr<JetSession> session_;
};

}  // namespace quillet
