#include "platform/engine/JetErrors.h"

#include <cerrno>

#include "platform/base/ErrorTexts.h"

namespace quillet {

namespace {

// "%s" stands for the file's path, as Jet quotes it.
constexpr ErrorText kJetErrors[] = {
    {kJetErrInvalidArgument, "Invalid argument."},
    {kJetErrCouldNotFindFile, "Could not find file '%s'."},
    {kJetErrInvalidPath,
     "'%s' is not a valid path. Make sure that the path name is spelled correctly and that you "
     "are connected to the server on which the file resides."},
    {kJetErrFileInUse, "Could not use '%s'; file already in use."},
    {kJetErrTooManyOpen, "Cannot open any more databases."},
    {kJetErrCouldNotLock, "Could not lock file."},
    {kJetErrCannotOpen,
     "The Microsoft Jet database engine cannot open the file '%s'. It is already opened "
     "exclusively by another user, or you need permission to view its data."},
    {kJetErrUnrecognizedFormat, "Unrecognized database format '%s'."},
    {kJetErrObjectInvalid, "Object invalid or no longer set."},
};

}  // namespace

Status JetError(int32_t number, const std::string& path) {
  const char* text = FindErrorText(kJetErrors, number);
  std::string description = text != nullptr ? text : "";
  if (const size_t slot = description.find("%s"); slot != std::string::npos)
    description.replace(slot, 2, path);
  return Status::Error(ErrorSource::kJet, number, std::move(description));
}

Status OpenFailure(int error, int32_t otherwise, const std::string& path) {
  if (error != EMFILE && error != ENFILE) return JetError(otherwise, path);
  // Jet's text alone would send a user looking for other databases.
  return Status::Error(ErrorSource::kJet, kJetErrTooManyOpen,
                       JetError(kJetErrTooManyOpen).description() +
                           (error == EMFILE ? " This process has too many files open."
                                            : " The system has too many files open."));
}

}  // namespace quillet
