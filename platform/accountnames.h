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

// The dispatcher is the instance of one configured account ([listener]
// dispatcherAccount; the package's system account), not "whatever runs as
// root". Set once at start, before the listener is made; an empty name, or
// one the passwd database does not know, leaves root as the dispatcher's
// account. Returns the uid that was chosen.
uid_t setDispatcherAccount(const QString &v_oName);
uid_t dispatcherUid();
// This process is the dispatcher: it runs as the dispatcher's account.
bool isDispatcher();
// The uid of an account name, exactly as written (Linux names are
// case-sensitive); -1 when the passwd database has no such name.
qint64 uidForUserName(const QString &v_oName);

} // namespace qtxplatform
