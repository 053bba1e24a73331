#include "accountnames.h"

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace qtxplatform {

QString userNameForUid(uid_t v_uiUid, int *v_poErr)
{
    long iSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (iSize <= 0)
        iSize = 16384;
    for (;;) {
        std::vector<char> oBuffer(static_cast<size_t>(iSize));
        passwd oEntry;
        passwd *pResult = nullptr;
        const int iErr = ::getpwuid_r(v_uiUid, &oEntry, oBuffer.data(), oBuffer.size(), &pResult);
        if (iErr == ERANGE && iSize < (1 << 20)) {
            iSize *= 2;
            continue;
        }
        if (iErr != 0 || !pResult) {
            *v_poErr = iErr ? iErr : ENOENT;
            return QString();
        }
        *v_poErr = 0;
        return QString::fromLocal8Bit(pResult->pw_name);
    }
}

QString hostName()
{
    char aName[256 + 1] = {0};
    if (::gethostname(aName, sizeof(aName) - 1) != 0)
        return QStringLiteral("localhost");
    return QString::fromLocal8Bit(aName);
}

} // namespace qtxplatform
