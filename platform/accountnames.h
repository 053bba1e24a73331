#pragma once

// Account names from the passwd database (getpwuid_r) and this machine's host
// name, which together make the "host/user" account text.

#include <QString>

#include <sys/types.h>

namespace qtxplatform {

// Text in the passwd database for a uid; empty and errno set in *v_poErr when missing.
QString userNameForUid(uid_t v_uiUid, int *v_poErr);
QString hostName();

} // namespace qtxplatform
