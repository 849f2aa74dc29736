#include "platform/engine/Dao.h"

#include "platform/engine/JetErrors.h"
#include "platform/engine/JetSession.h"

namespace quillet {

namespace {
constexpr int32_t dbRefreshCache = 8;
}

Database::Database(std::unique_ptr<JetSession> session)
    : name_(session ? session->Path() : std::string()), session_(std::move(session)) {}

Database::~Database() = default;  // the session leaves the database as it goes

bool Database::IsOpen() const { return session_ && session_->IsOpen(); }

Status Database::Close() {
  if (!IsOpen()) return JetError(kJetErrObjectInvalid);
  session_.reset();
  return Status::OK();
}

DBEngine& DBEngine::Instance() {
  static DBEngine engine;
  return engine;
}

Status DBEngine::OpenDatabase(const std::string& path, DatabasePtr* database,
                              const DaoOpenOptions& options) {
  JetOpenRequest request;
  request.level = LockingMode::kPage;  // DAO never asks for record-level locking
  request.exclusive = options.exclusive;
  request.readOnly = options.readOnly;

  std::unique_ptr<JetSession> session;
  Status status = JetSession::Open(path, request, &session);
  if (!status.ok()) return status;  // like a failed assignment, *database is left alone
  *database = std::make_shared<Database>(std::move(session));
  return Status::OK();
}

Status DBEngine::Idle(int32_t action) {
  if ((action & ~(dbFreeLocks | dbRefreshCache)) != 0) return JetError(kJetErrInvalidArgument);
  return Status::OK();  // connections hold only the locks that say they are there
}

}  // namespace quillet
