#pragma once

namespace quillet {

// Where the last database path is remembered.
inline constexpr const char* kRegistryBaseKey = "SOFTWARE\\Oxtaro\\Utils";
inline constexpr const char* kRegistryAppKey = "\\Quillet";
inline constexpr const char* kDBFilenameValue = "DBFilename";

}  // namespace quillet
