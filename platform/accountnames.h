#pragma once

// Account names from the passwd database (getpwuid_r) and this machine's host
// name, which together make the "host/user" account text.

#include <QString>

#include <initializer_list>

#include <sys/types.h>

namespace qtxplatform {

// Text in the passwd database for a uid; empty and errno set in *v_poErr when missing.
QString userNameForUid(uid_t v_uiUid, int *v_poErr);
// True when the name of every one of these uids was found moments ago, so
// asking userNameForUid for them now does not touch the passwd database
// (which may be a network directory).
bool userNamesFresh(std::initializer_list<uid_t> v_oUids);
QString hostName();
// This process's effective uid, read once: the server never changes its
// account while it runs.
uid_t serverUid();

} // namespace qtxplatform
