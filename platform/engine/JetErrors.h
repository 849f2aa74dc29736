#pragma once

#include <cstdint>
#include <string>

#include "platform/base/Status.h"

namespace quillet {

// The Jet engine's own error numbers and texts. DAO reports them as they are; ADO wraps
// them in kAdoProviderError with the same text.
inline constexpr int32_t kJetErrCouldNotFindFile = 3024;
inline constexpr int32_t kJetErrInvalidPath = 3044;
inline constexpr int32_t kJetErrFileInUse = 3045;
inline constexpr int32_t kJetErrCouldNotLock = 3050;
inline constexpr int32_t kJetErrCannotOpen = 3051;
inline constexpr int32_t kJetErrTooManyOpen = 3048;
inline constexpr int32_t kJetErrUnrecognizedFormat = 3343;
inline constexpr int32_t kJetErrObjectInvalid = 3420;
inline constexpr int32_t kJetErrInvalidArgument = 3001;

// A failure with Jet's number and text; `path` is quoted where Jet's text names the file.
Status JetError(int32_t number, const std::string& path = {});

// An open that failed with `error` because too many files are open (EMFILE, ENFILE): Jet's
// 3048, with what ran out. Any other error gives `otherwise`, Jet's number for the open.
Status OpenFailure(int error, int32_t otherwise, const std::string& path = {});

}  // namespace quillet
