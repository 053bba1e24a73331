#include "sessionsources.h"

#include "accountnames.h"
#include "procfs.h"
#include "unixhandles.h"

#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <utmp.h>

namespace qtxplatform {

namespace {

QString fixedField(const char *v_pField, size_t v_uiSize)
{
    // utmp's fields are not NUL-terminated when full: the length is bounded
    // here, and the bytes are handed over with it (no strlen over the field).
    return QString::fromLocal8Bit(QByteArray::fromRawData(v_pField, static_cast<int>(::strnlen(v_pField, v_uiSize))));
}

bool isLocalLine(const QString &v_oLine, const QString &v_oHost)
{
    // A virtual console (tty1...) or an X display (":0") on this machine.
    if (v_oLine.startsWith(QLatin1String("tty")) && v_oLine.size() > 3) {
        bool bOk = false;
        v_oLine.mid(3).toInt(&bOk);
        if (bOk)
            return true;
    }
    return v_oLine.startsWith(QLatin1Char(':')) && (v_oHost.isEmpty() || v_oHost.startsWith(QLatin1Char(':')));
}

} // namespace

int readUtmpSessions(const QByteArray &v_oPath, QVector<SessionInfo> *v_poSessions)
{
    QByteArray oContent;
    const int iErr = readSmallFile(v_oPath, &oContent, 64 << 20);
    if (iErr != 0)
        return iErr;
    const int iCount = oContent.size() / static_cast<int>(sizeof(utmp));  // a torn last record is ignored
    for (int i = 0; i < iCount; ++i) {
        utmp oEntry;
        std::memcpy(&oEntry, oContent.constData() + i * sizeof(utmp), sizeof(utmp));
        if (oEntry.ut_type != USER_PROCESS)
            continue;
        SessionInfo oSession;
        oSession.user = fixedField(oEntry.ut_user, sizeof(oEntry.ut_user));
        if (oSession.user.isEmpty())
            continue;
        if (oEntry.ut_pid > 0 && ::kill(oEntry.ut_pid, 0) != 0 && errno == ESRCH)
            continue;
        const QString oLine = fixedField(oEntry.ut_line, sizeof(oEntry.ut_line));
        const QString oHost = fixedField(oEntry.ut_host, sizeof(oEntry.ut_host));
        oSession.id = oLine.isEmpty() ? fixedField(oEntry.ut_id, sizeof(oEntry.ut_id)) : oLine;
        oSession.station = oLine;
        oSession.active = true;
        oSession.console = isLocalLine(oLine, oHost);
        if (oLine.startsWith(QLatin1Char(':')))
            oSession.display = oLine;
        else if (oHost.startsWith(QLatin1Char(':')))
            oSession.display = oHost;
        oSession.properties.insert(QStringLiteral("USER"), oSession.user);
        oSession.properties.insert(QStringLiteral("LINE"), oLine);
        oSession.properties.insert(QStringLiteral("HOST"), oHost);
        oSession.properties.insert(QStringLiteral("PID"), QString::number(oEntry.ut_pid));
        v_poSessions->append(oSession);
    }
    return 0;
}

QMap<QString, QString> parseKeyValueText(const QByteArray &v_oText)
{
    QMap<QString, QString> oValues;
    for (const QByteArray &oLine : v_oText.split('\n')) {
        const int iEq = oLine.indexOf('=');
        if (iEq <= 0 || oLine.startsWith('#'))
            continue;
        oValues.insert(QString::fromUtf8(oLine.left(iEq)), QString::fromUtf8(oLine.mid(iEq + 1)));
    }
    return oValues;
}

int readLogindSessions(const QByteArray &v_oRunDir, QVector<SessionInfo> *v_poSessions)
{
    QByteArray oSeat;
    QString oConsoleSession;
    if (readSmallFile(v_oRunDir + "/seats/seat0", &oSeat) == 0)
        oConsoleSession = parseKeyValueText(oSeat).value(QStringLiteral("ACTIVE"));

    const QByteArray oDirPath = v_oRunDir + "/sessions";
    UniqueDir oDir(::opendir(oDirPath.constData()));
    if (!oDir)
        return errno;
    QStringList oIds;
    while (const dirent *pEntry = ::readdir(oDir.get())) {
        const QString oName = QString::fromLocal8Bit(pEntry->d_name);
        // Session files only; logind keeps "<id>.ref" fifos beside them.
        if (oName.startsWith(QLatin1Char('.')) || oName.contains(QLatin1Char('.')))
            continue;
        oIds.append(oName);
    }
    // Numeric ids in numeric order, others ("c1") after them.
    std::sort(oIds.begin(), oIds.end(), [](const QString &a, const QString &b) {
        bool bA = false, bB = false;
        const qulonglong uiA = a.toULongLong(&bA), uiB = b.toULongLong(&bB);
        if (bA != bB)
            return bA;
        return bA ? uiA < uiB : a < b;
    });
    for (const QString &oId : qAsConst(oIds)) {
        QByteArray oText;
        if (readSmallFile(oDirPath + '/' + oId.toLocal8Bit(), &oText) != 0)
            continue;
        const QMap<QString, QString> oValues = parseKeyValueText(oText);
        SessionInfo oSession;
        oSession.id = oId;
        oSession.properties = oValues;
        bool bUidOk = false;
        oSession.uid = oValues.value(QStringLiteral("UID")).toLongLong(&bUidOk);
        if (!bUidOk)
            oSession.uid = -1;
        oSession.user = oValues.value(QStringLiteral("USER"));
        if (oSession.uid >= 0) {
            int iErr = 0;
            const QString oName = userNameForUid(static_cast<uid_t>(oSession.uid), &iErr);
            if (!oName.isEmpty())
                oSession.user = oName;
        }
        const QString oSeatName = oValues.value(QStringLiteral("SEAT"));
        const QString oTty = oValues.value(QStringLiteral("TTY"));
        oSession.display = oValues.value(QStringLiteral("DISPLAY"));
        oSession.station = !oSeatName.isEmpty() ? oSeatName : (!oTty.isEmpty() ? oTty : oSession.display);
        const QString oClass = oValues.value(QStringLiteral("CLASS"), QStringLiteral("user"));
        oSession.active = oValues.value(QStringLiteral("STATE")) == QLatin1String("active")
                          && oClass == QLatin1String("user") && !oSession.user.isEmpty();
        oSession.console = !oConsoleSession.isEmpty() && oId == oConsoleSession;
        v_poSessions->append(oSession);
    }
    return 0;
}

int readSessions(QVector<SessionInfo> *v_poSessions, QString *v_poSourceText)
{
    const QByteArray oUtmp = qgetenv("QTX_UTMP_FILE");
    if (!oUtmp.isEmpty()) {
        *v_poSourceText = QStringLiteral("utmp ") + QString::fromLocal8Bit(oUtmp);
        return readUtmpSessions(oUtmp, v_poSessions);
    }
    QByteArray oRunDir = qgetenv("QTX_LOGIND_DIR");
    if (oRunDir.isEmpty()) {
        struct stat oInfo;
        if (::lstat("/run/systemd/system", &oInfo) == 0 && S_ISDIR(oInfo.st_mode)
            && ::lstat("/run/systemd/sessions", &oInfo) == 0 && S_ISDIR(oInfo.st_mode))
            oRunDir = "/run/systemd";
    }
    if (!oRunDir.isEmpty()) {
        *v_poSourceText = QStringLiteral("logind ") + QString::fromLocal8Bit(oRunDir);
        return readLogindSessions(oRunDir, v_poSessions);
    }
    *v_poSourceText = QStringLiteral("utmp " _PATH_UTMP);
    const int iErr = readUtmpSessions(_PATH_UTMP, v_poSessions);
    // No utmp file at all means nobody logged on through login(1), not a failure.
    return iErr == ENOENT ? 0 : iErr;
}

} // namespace qtxplatform
