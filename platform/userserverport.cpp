#include "userserverport.h"

#include "clientidentity.h"
#include "processutils.h"
#include "qtxexceptions.h"
#include "qtxlogger.h"

#include <QCoreApplication>

UserServerPort::UserServerPort(ProcessUtils *v_poProcessUtils, const ClientConnection &v_oConnection,
                               qint64 v_iClientUid, quint16 v_uiConfiguredPort)
    : m_poProcessUtils(v_poProcessUtils)
    , m_oConnection(v_oConnection)
    , m_iClientUid(v_iClientUid)
    , m_uiConfiguredPort(v_uiConfiguredPort)
{
}

bool UserServerPort::isConnectionAtConfiguredPort() const
{
    return m_oConnection.serverPort != 0 && m_oConnection.serverPort == m_uiConfiguredPort;
}

quint16 UserServerPort::getUserServerPort()
{
    return getUserServerPort(m_uiConfiguredPort);
}

quint16 UserServerPort::getUserServerPortForActiveSession()
{
    return getUserServerPortForActiveSession(m_uiConfiguredPort);
}

quint16 UserServerPort::getUserServerPort(quint16 v_uiLowestPort)
{
    // The client's account from the owner of its socket (its process only for a
    // root-owned socket); the pid in the log line is 0 when it was not needed.
    const ClientIdentity oClient =
        ClientIdentity::resolve(*m_poProcessUtils, m_oConnection, m_iClientUid);
    // The account by its uid: a name can stand for two accounts.
    const qint64 iClientPid = oClient.pid();
    const qint64 iUid = oClient.accountUid(*m_poProcessUtils);
    const QString oAccount = oClient.account(*m_poProcessUtils);
    const QString oName = m_poProcessUtils->getNameOfProcessWithPID(QCoreApplication::applicationPid());
    const quint16 uiPort = m_poProcessUtils->getPortOfUserProcessForUid(iUid, oName, v_uiLowestPort);
    QTX_LOG(ProcessUtilsLogger::Instance(), INFO, "UserServerPort::getUserServerPort")
        << "Read server port(" << uiPort << ") for client pid(" << iClientPid << ") and username(" << oAccount
        << ") and process with Name (" << oName << ")";
    if (uiPort == 0)
        throwNotFound("UserServerPort::getUserServerPort");
    return uiPort;
}

quint16 UserServerPort::getUserServerPortForActiveSession(quint16 v_uiLowestPort)
{
    const QString oAccount = m_poProcessUtils->getDomainAndUsernameForSingleActiveSession();
    const QString oName = m_poProcessUtils->getNameOfProcessWithPID(QCoreApplication::applicationPid());
    const quint16 uiPort = m_poProcessUtils->getPortOfUserProcess(oAccount, oName, v_uiLowestPort);
    QTX_LOG(ProcessUtilsLogger::Instance(), NOTICE, "UserServerPort::getUserServerPortForActiveSession")
        << "Read server port(" << uiPort << ") for active console session) and username(" << oAccount
        << ") and process with Name (" << oName << ")";
    if (uiPort == 0)
        throwNotFound("UserServerPort::getUserServerPortForActiveSession");
    return uiPort;
}

void UserServerPort::throwNotFound(const char *v_pFunction)
{
    UserServerPortException oException(
        QStringLiteral("UserServerPort::getUserServerPortForConnAtSocket, cannot receive user server port!"),
        QStringLiteral("Could not establish connection with QTX server. Server on user accoutn is probably down."));
    ProcessUtilsLogger::Instance().GetCategory().getStream(log4cpp::Priority::WARN)
        << v_pFunction << " :: " << "Exception: " << oException.getStackTrace();
    throw oException;
}
