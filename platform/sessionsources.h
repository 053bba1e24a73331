#pragma once

// Logon sessions, from systemd-logind's state files or from a utmp file.
// Records are untrusted input: a malformed one is skipped.

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

namespace qtxplatform {

// One logon session, from logind or utmp.
struct SessionInfo
{
    QString id;
    QString station;   // seat/tty/display, for the log
    QString user;
    qint64 uid = -1;
    bool active = false;
    bool console = false;  // on seat0 (logind) or a local tty/display (utmp)
    QString display;
    QMap<QString, QString> properties;  // raw key/values, logged
};

// USER_PROCESS entries of a utmp file whose process still exists (stale
// entries of crashed logins are dropped). Returns 0 or errno.
int readUtmpSessions(const QByteArray &v_oPath, QVector<SessionInfo> *v_poSessions);

// Sessions of systemd-logind from <runDir>/sessions/* and the active session
// of seat0 from <runDir>/seats/seat0. Only sessions of class "user" in state
// "active" count as active. Returns 0 or errno.
int readLogindSessions(const QByteArray &v_oRunDir, QVector<SessionInfo> *v_poSessions);

// KEY=VALUE lines (logind's state files).
QMap<QString, QString> parseKeyValueText(const QByteArray &v_oText);

// Where sessions come from: QTX_UTMP_FILE forces that utmp file,
// QTX_LOGIND_DIR that logind run folder; otherwise logind when it runs
// (/run/systemd/system and /run/systemd/sessions exist), else /var/run/utmp.
int readSessions(QVector<SessionInfo> *v_poSessions, QString *v_poSourceText);

} // namespace qtxplatform
