#pragma once

#include <string>

#include "platform/samba/SambaConfig.h"

namespace quillet {

// Adds the shares users made with `net usershare add` (testparm does not print them) where
// the configuration allows them (`usershare max shares` above 0): one file each in the
// `usershare path` folder. Samba gives such a share the parameters of the `usershare
// template share`, else the defaults of [global]; a name the configuration already uses is
// not Samba's to give. A folder that cannot be read is told in config->unseen. Gives the
// folder, to be watched for changes; empty where usershares are off.
std::string AddUsershares(SambaConfig* config);

}  // namespace quillet
