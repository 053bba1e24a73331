#include "clientidentity.h"

#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <cerrno>

ClientIdentity ClientIdentity::resolve(ProcessUtils &v_oUtils, const ClientConnection &v_oConnection,
                                       qint64 v_iKnownUid, qint64 v_iKnownHolderPid, qint64 v_iKnownHolderUid)
{
    ClientIdentity oIdentity;
    oIdentity.m_iUid = v_iKnownUid >= 0 ? v_iKnownUid : v_oUtils.getUidOfClient(v_oConnection);
    oIdentity.m_bFound = oIdentity.m_iUid >= 0;
    // Only root can create a socket that a process of another account ends up
    // holding without that account's consent: search the holder then.
    if (oIdentity.m_iUid == 0 && v_iKnownHolderPid > 0 && v_iKnownHolderUid >= 0) {
        oIdentity.m_iPid = v_iKnownHolderPid;
        oIdentity.m_iHolderUid = v_iKnownHolderUid;
    } else if (oIdentity.m_iUid == 0) {
        oIdentity.m_iPid = v_oUtils.getPidOfClient(v_oConnection, &oIdentity.m_iHolderUid);
    }
    if (oIdentity.m_iPid == 0)
        oIdentity.m_iHolderUid = -1;
    return oIdentity;
}

QString ClientIdentity::account(ProcessUtils &v_oUtils) const
{
    // The holder's account as the search read it: the same text as from its
    // pid, without reading the process's status again.
    if (m_iPid != 0 && m_iHolderUid >= 0)
        return v_oUtils.getDomainAndUsernameForUid(m_iHolderUid);
    if (m_iPid != 0 || !m_bFound)
        return v_oUtils.getDomainAndUsernameForPID(m_iPid);  // pid 0 throws OpenProcessException
    const QString oAccount = v_oUtils.getDomainAndUsernameForUid(m_iUid);
    if (oAccount == QLatin1String("<UNKNOWN>")) {
        LookupAccountSidException oException(
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUserNameFromSID LookupAccountSid Error: %1").arg(ENOENT),
            QString::fromLatin1(kQtxUnexpectedErrorDetail));
        ProcessUtilsLogger::Instance().GetCategory().getStream(log4cpp::Priority::WARN)
            << "ProcessUtilsLinuxImpl::getInfoFromSID :: " << "Exception: " << oException.getStackTrace();
        throw oException;
    }
    return oAccount;
}

qint64 ClientIdentity::accountUid(ProcessUtils &v_oUtils) const
{
    if (m_iPid != 0 && m_iHolderUid >= 0)
        return m_iHolderUid;
    if (m_iPid != 0 || !m_bFound)
        return v_oUtils.getEffectiveUidOfPID(m_iPid);  // pid 0 throws OpenProcessException
    return m_iUid;
}

bool ClientIdentity::isSystem(ProcessUtils &v_oUtils) const
{
    if (m_iPid != 0 && m_iHolderUid >= 0)
        return m_iHolderUid == 0;
    if (m_iPid != 0)
        return v_oUtils.isSystemProcess(m_iPid);
    return m_bFound && m_iUid == 0;
}
