#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"

#include <vector>

#include <grp.h>
#include <unistd.h>

using namespace qtxplatform;

namespace {

const char kUnknownAccount[] = "<UNKNOWN>";

} // namespace

bool ProcessUtilsLinuxImpl::isCurrentUserAdministrator()
{
    if (::geteuid() == 0)
        return true;
    // Membership as this process holds it (its groups), like a token's groups.
    std::vector<char> oBuffer(16384);
    group oGroup;
    group *pGroup = nullptr;
    if (::getgrnam_r("sudo", &oGroup, oBuffer.data(), oBuffer.size(), &pGroup) != 0 || !pGroup)
        return false;
    if (::getegid() == pGroup->gr_gid)
        return true;
    const int iCount = ::getgroups(0, nullptr);
    if (iCount <= 0)
        return false;
    std::vector<gid_t> oGroups(static_cast<size_t>(iCount));
    const int iGot = ::getgroups(iCount, oGroups.data());
    for (int i = 0; i < iGot; ++i) {
        if (oGroups[static_cast<size_t>(i)] == pGroup->gr_gid)
            return true;
    }
    return false;
}

QString ProcessUtilsLinuxImpl::accountText(const QString &v_oUser) const
{
    return hostName() + QLatin1Char('/') + v_oUser;
}

QString ProcessUtilsLinuxImpl::getInfoFromUid(uid_t v_uiUid, bool v_bWithDomain)
{
    int iErr = 0;
    const QString oUser = userNameForUid(v_uiUid, &iErr);
    if (oUser.isEmpty()) {
        throwLogged<LookupAccountSidException>(
            "ProcessUtilsLinuxImpl::getInfoFromSID",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUserNameFromSID LookupAccountSid Error: %1").arg(iErr));
    }
    return v_bWithDomain ? accountText(oUser) : oUser;
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForUid(qint64 v_iUid)
{
    int iErr = 0;
    const QString oUser = (v_iUid >= 0 && v_iUid < 0xFFFFFFFFll) ? userNameForUid(static_cast<uid_t>(v_iUid), &iErr)
                                                              : QString();
    return oUser.isEmpty() ? QString::fromLatin1(kUnknownAccount) : accountText(oUser);
}

QString ProcessUtilsLinuxImpl::getUsernameForSystemAccount()
{
    int iErr = 0;
    const QString oUser = userNameForUid(0, &iErr);
    if (oUser.isEmpty()) {
        PU_LOG(WARN, "getUsernameForSystemAccount") << "Can't obtain system SID!";
        return QString::fromLatin1(kUnknownAccount);
    }
    PU_LOG(INFO, "getUsernameForSystemAccount") << "system SID obtained";
    return oUser;
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForSystemAccount()
{
    const QString oUser = getUsernameForSystemAccount();
    return oUser == QLatin1String(kUnknownAccount) ? oUser : accountText(oUser);
}
