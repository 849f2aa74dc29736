#include "platform/engine/JetErrors.h"

namespace quillet {

Status CouldNotFindFile(const std::string& path) {
  return Status::Error(kJetErrCouldNotFindFile, "Could not find file '" + path + "'.");
}

Status InvalidPath(const std::string& path) {
  return Status::Error(kJetErrInvalidPath,
                       "'" + path +
                           "' is not a valid path. Make sure that the path name is spelled "
                           "correctly and that you are connected to the server on which the "
                           "file resides.");
}

Status FileAlreadyInUse(const std::string& path) {
  return Status::Error(kJetErrFileInUse, "Could not use '" + path + "'; file already in use.");
}

Status CouldNotLockFile() { return Status::Error(kJetErrCouldNotLock, "Could not lock file."); }

Status CannotOpenFile(const std::string& path) {
  return Status::Error(kJetErrCannotOpen,
                       "The Microsoft Jet database engine cannot open the file '" + path +
                           "'. It is already opened exclusively by another user, or you need "
                           "permission to view its data.");
}

Status UnrecognizedFormat(const std::string& path) {
  return Status::Error(kJetErrUnrecognizedFormat, "Unrecognized database format '" + path + "'.");
}

Status ObjectInvalid() {
  return Status::Error(kJetErrObjectInvalid, "Object invalid or no longer set.");
}

Status InvalidArgument() { return Status::Error(kJetErrInvalidArgument, "Invalid argument."); }

}  // namespace quillet
