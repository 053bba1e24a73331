#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <algorithm>

#include <unistd.h>

using namespace qtxplatform;

namespace {

const char kNoConsoleSession[] = "<NO ACTIVE CONSOLE SESSION>";

QVector<SessionInfo> readAllSessions(const char *v_pFunction)
{
    QVector<SessionInfo> oSessions;
    QString oSource;
    const int iErr = readSessions(&oSessions, &oSource);
    if (iErr != 0) {
        throwLogged<WTSEnumerateSessionsException>(
            v_pFunction, QStringLiteral("ProcessUtilsWinImpl::getActiveSessionsIDs WTSEnumerateSessions Error: %1").arg(iErr));
    }
    PU_LOG(INFO, "getActiveSessionsIDs") << "Sessions read from " << oSource;
    return oSessions;
}

// Active user sessions in session order, one per account: a user logged on
// twice (a desktop and a terminal, say) is still one user.
QVector<SessionInfo> getActiveSessionsIDs()
{
    const QVector<SessionInfo> oSessions = readAllSessions("ProcessUtilsLinuxImpl::getActiveSessionsIDs");
    PU_LOG(NOTICE, "getActiveSessionsIDs") << "Found " << oSessions.size() << " WTS sessions on host";
    QVector<SessionInfo> oActive;
    for (int i = 0; i < oSessions.size(); ++i) {
        const SessionInfo &oSession = oSessions.at(i);
        PU_LOG(INFO, "getActiveSessionsIDs") << "sessionId=" << oSession.id << ", stationName = " << oSession.station;
        for (auto it = oSession.properties.cbegin(); it != oSession.properties.cend(); ++it)
            PU_LOG(INFO, "WTSLogString") << it.key() << "=" << it.value();
        if (!oSession.active)
            continue;
        const bool bSeen = std::any_of(oActive.cbegin(), oActive.cend(), [&](const SessionInfo &v_oOther) {
            return v_oOther.user == oSession.user;
        });
        if (bSeen)
            continue;
        PU_LOG(NOTICE, "getActiveSessionsIDs") << "Found active session on <" << i << "> position in list; sessionID="
                                               << oSession.id;
        oActive.append(oSession);
    }
    return oActive;
}

QString getDomainAndUsernameForSessionID(const SessionInfo &v_oSession)
{
    if (v_oSession.user.isEmpty()) {
        throwLogged<WTSQuerySessionInformationException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSessionID",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSessionID WTSQuerySessionInformation Error: %1")
                .arg(ENOENT));
    }
    const QString oDomain = hostName();
    PU_LOG(INFO, "getDomainAndUsernameForSessionID") << "dwDomainNameLen = " << oDomain.size()
                                                     << "; dwUserNameLen = " << v_oSession.user.size();
    const QString oDomainAndUserName = oDomain + QLatin1Char('/') + v_oSession.user;
    PU_LOG(INFO, "getDomainAndUsernameForSessionID") << "oDomainAndUserName = " << oDomainAndUserName;
    return oDomainAndUserName;
}

// The user session in front of the machine's own screen and keyboard, if any.
bool findConsoleSession(SessionInfo *v_poSession)
{
    QVector<SessionInfo> oSessions;
    QString oSource;
    if (readSessions(&oSessions, &oSource) != 0)
        return false;
    for (const SessionInfo &oSession : qAsConst(oSessions)) {
        if (oSession.console && oSession.active) {
            *v_poSession = oSession;
            return true;
        }
    }
    return false;
}

} // namespace

QString ProcessUtilsLinuxImpl::getActiveConsoleSessionID()
{
    SessionInfo oSession;
    if (!findConsoleSession(&oSession)) {
        PU_LOG(INFO, "getActiveConsoleSessionID") << "ActiveConsoleSessionID = <none>";
        return QString::fromLatin1(kNoConsoleSession);
    }
    PU_LOG(INFO, "getActiveConsoleSessionID") << "ActiveConsoleSessionID = " << oSession.id;
    return getDomainAndUsernameForSessionID(oSession);
}

QString ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession()
{
    const QVector<SessionInfo> oActive = getActiveSessionsIDs();
    if (oActive.size() > 1) {
        PU_LOG(WARN, "getDomainAndUsernameForSingleActiveSession")
            << "Found more than one active session. Software may be running on Windows Server OS";
        throwLogged<ActiveSessionException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: More than one active session"),
            QStringLiteral("More than one user already logged in."));
    }
    if (oActive.isEmpty()) {
        throwLogged<ActiveSessionException>(
            "ProcessUtilsLinuxImpl::getDomainAndUsernameForSingleActiveSession",
            QStringLiteral("ProcessUtilsWinImpl::getDomainAndUsernameForSingleActiveSession ActiveSession Error: Active session not found"),
            QStringLiteral("Could not find active session."));
    }
    PU_LOG(NOTICE, "getDomainAndUsernameForSingleActiveSession") << "dwActiveSessionID=" << oActive.first().id;
    return getDomainAndUsernameForSessionID(oActive.first());
}

QStringList ProcessUtilsLinuxImpl::getDomainAndUsernamesForActiveSessions()
{
    QStringList oAccounts;
    for (const SessionInfo &oSession : getActiveSessionsIDs())
        oAccounts.append(getDomainAndUsernameForSessionID(oSession));
    return oAccounts;
}

bool ProcessUtilsLinuxImpl::isProcessOfActiveConsoleUser(qint64 v_iPid)
{
    return getDomainAndUsernameForPID(v_iPid) == getActiveConsoleSessionID();
}

int ProcessUtilsLinuxImpl::RunAsDesktopUser(const QString &v_oProgram, const QString &v_oArguments)
{
    if (::geteuid() != 0) {
        PU_LOG(WARN, "RunAsDesktopUser") << "OpenProcessToken failed: only a server running as root can start a program"
                                         << " for the desktop user";
        return -1;
    }
    SessionInfo oSession;
    if (!findConsoleSession(&oSession) || oSession.user.isEmpty()) {
        PU_LOG(WARN, "RunAsDesktopUser") << "No desktop shell is present";
        return -1;
    }
    QProcess oProcess;
    oProcess.setProgram(QStringLiteral("runuser"));
    oProcess.setArguments(QStringList{QStringLiteral("-u"), oSession.user, QStringLiteral("--"), v_oProgram}
                          + QProcess::splitCommand(v_oArguments));
    QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
    if (!oSession.display.isEmpty())
        oEnvironment.insert(QStringLiteral("DISPLAY"), oSession.display);
    if (oSession.uid > 0) {
        const QString oRuntimeDir = QStringLiteral("/run/user/%1").arg(oSession.uid);
        if (QFileInfo(oRuntimeDir).isDir())
            oEnvironment.insert(QStringLiteral("XDG_RUNTIME_DIR"), oRuntimeDir);
    }
    oProcess.setProcessEnvironment(oEnvironment);
    qint64 iPid = 0;
    if (!oProcess.startDetached(&iPid)) {
        PU_LOG(WARN, "RunAsDesktopUser") << "CreateProcessWithTokenW failed: " << oProcess.errorString();
        return -1;
    }
    PU_LOG(NOTICE, "RunAsDesktopUser") << "Started <" << v_oProgram << "> for " << oSession.user << " with pid " << iPid;
    return 0;
}
