#pragma once

#include <string>
#include <string_view>

namespace quillet {

// Where Samba's programs are installed: Debian's (and most distributions') folders first,
// then Samba's own default prefix and /usr/local. PATH is never searched: a Quillet run by
// root must not run a program that an ordinary user put earlier on root's PATH, or in a
// relative PATH entry such as ".".
inline constexpr std::string_view kSambaInstallFolders[] = {
    "/usr/bin",       "/usr/sbin",      "/usr/local/samba/bin", "/usr/local/samba/sbin",
    "/usr/local/bin", "/usr/local/sbin"};

// The absolute path of Samba's program `name` ("smbstatus", "testparm", "smbd"): the first of
// the install folders holding an executable regular file by that name that only root can
// change (the file and its folder owned by root and writable by nobody else). Empty if none.
std::string SambaProgram(std::string_view name);

}  // namespace quillet
