#include "processutilslinuximpl.h"
#include "processutilslinuximpl_common.h"
#include "processutilslinuximpl_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

using namespace qtxplatform;

namespace {

constexpr int kReportTimeoutMs = 3000;

// The report scripts are written to a shell's standard input.
const char kProcessesScript[] = "ps -e -ww -o pid,ppid,user,stat,rss,etime,time,args";

const char kCriticalInfoScript[] =
    "echo \"LastBootUpTime=$(date -d @$(sed -n 's/^btime //p' /proc/stat) '+%Y-%m-%d %H:%M:%S %z')\";"
    " echo \"LocalDateTime=$(date '+%Y-%m-%d %H:%M:%S %z')\";"
    " echo \"Name=$(sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '\\\"')\";"
    " echo \"OSArchitecture=$(uname -m)\";"
    " echo \"Version=$(uname -sr) $(uname -v)\"";

const char kDetailInfoScript[] =
    "echo \"CodeSet=$(locale charmap)\";"
    " echo \"CSName=$(uname -n)\";"
    " echo \"Description=$(sed -n 's/^PRETTY_NAME=//p' /etc/os-release | tr -d '\\\"')\";"
    " echo \"InstallDate=$(stat -c %w / 2>/dev/null)\";"
    " echo \"MUILanguages=$LANGUAGE\";"
    " echo \"SystemDirectory=/usr/lib\";"
    " locale";

const char kAntivirusScript[] =
    "p=$(command -v clamscan 2>/dev/null); if [ -n \"$p\" ]; then echo displayName=ClamAV;"
    " echo pathToSignedProductExe=$p;"
    " echo productState=$(systemctl is-active clamav-daemon 2>/dev/null || echo unknown);"
    " t=$(ls -t /var/lib/clamav/daily.c?d 2>/dev/null | head -n 1);"
    " if [ -n \"$t\" ]; then echo timestamp=$(date -r \"$t\" '+%Y-%m-%d %H:%M:%S %z'); fi; echo; fi";

} // namespace

QString ProcessUtilsLinuxImpl::getProcessesList()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kProcessesScript)}, kReportTimeoutMs));
}

QString ProcessUtilsLinuxImpl::getSystemCriticalInfo()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kCriticalInfoScript)}, kReportTimeoutMs));
}

QString ProcessUtilsLinuxImpl::getSystemDetailInfo()
{
    return QString::fromLocal8Bit(runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kDetailInfoScript)}, kReportTimeoutMs));
}

namespace {

// Version of the Debian package that installed the file, or empty.
QString fileVersion(const QString &v_oPath)
{
    QStringList oCandidates{v_oPath};
    const QString oCanonical = QFileInfo(v_oPath).canonicalFilePath();
    if (!oCanonical.isEmpty() && oCanonical != v_oPath)
        oCandidates.prepend(oCanonical);
    for (const QString &oPath : qAsConst(oCandidates)) {
        const ToolResult oOwner = runTool(QStringLiteral("dpkg-query"), {QStringLiteral("-S"), oPath}, kReportTimeoutMs);
        if (oOwner.exitCode != 0)
            continue;
        // "chromium: /usr/bin/chromium" or "pkg-a, pkg-b: /path"
        const QByteArray oLine = oOwner.output.split('\n').value(0);
        const int iSep = oLine.indexOf(": ");
        if (iSep <= 0)
            continue;
        const QString oPackage = QString::fromUtf8(oLine.left(iSep).split(',').value(0).trimmed());
        const ToolResult oVersion = runTool(QStringLiteral("dpkg-query"),
                                            {QStringLiteral("-W"), QStringLiteral("-f=${Version}"), oPackage}, kReportTimeoutMs);
        if (oVersion.exitCode == 0 && !oVersion.output.trimmed().isEmpty())
            return QString::fromUtf8(oVersion.output.trimmed());
    }
    return QString();
}

} // namespace

QString ProcessUtilsLinuxImpl::getBrowsersInfo()
{
    // Registered browsers are desktop entries that handle http links, the
    // machine's first, then the user's.
    const QByteArray oDataHome = qgetenv("XDG_DATA_HOME");
    const QStringList oRoots{QStringLiteral("/usr/share/applications"),
                             (oDataHome.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share")
                                                  : QString::fromLocal8Bit(oDataHome))
                                 + QStringLiteral("/applications")};
    QStringList oEntries;
    for (const QString &oRoot : oRoots) {
        const QStringList oFiles = QDir(oRoot).entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
        for (const QString &oFile : oFiles) {
            QByteArray oText;
            if (readSmallFile(QFile::encodeName(oRoot + QLatin1Char('/') + oFile), &oText) != 0)
                continue;
            // Only the [Desktop Entry] group; actions follow in groups of their own.
            const int iNextGroup = oText.indexOf("\n[", oText.indexOf("[Desktop Entry]") + 1);
            const QMap<QString, QString> oValues = parseKeyValueText(iNextGroup > 0 ? oText.left(iNextGroup) : oText);
            const bool bBrowser = oValues.value(QStringLiteral("MimeType")).contains(QLatin1String("x-scheme-handler/http"))
                                  || oValues.value(QStringLiteral("Categories")).contains(QLatin1String("WebBrowser"));
            if (!bBrowser || oValues.value(QStringLiteral("Hidden")) == QLatin1String("true"))
                continue;
            QString oProgram = QProcess::splitCommand(oValues.value(QStringLiteral("Exec"))).value(0);
            if (oProgram.startsWith(QLatin1Char('"')) && oProgram.endsWith(QLatin1Char('"')) && oProgram.size() > 1)
                oProgram = oProgram.mid(1, oProgram.size() - 2);
            if (!oProgram.contains(QLatin1Char('/')))
                oProgram = QStandardPaths::findExecutable(oProgram);
            const QString oVersion = oProgram.isEmpty() ? QString() : fileVersion(oProgram);
            const QString oName = oValues.value(QStringLiteral("Name"), oFile);
            if (oVersion.isEmpty()) {
                PU_LOG(INFO, "getBrowsersInfo") << "File Version not found.";
                oEntries.append(oName + QStringLiteral(" Version - Not Found"));
            } else {
                oEntries.append(oName + QStringLiteral(" Version - ") + oVersion);
            }
        }
    }
    return oEntries.join(QLatin1Char('\n'));
}

QString ProcessUtilsLinuxImpl::getAntivirusInfo()
{
    const QStringList oNames{QStringLiteral("displayName"), QStringLiteral("pathToSignedProductExe"),
                             QStringLiteral("productState"), QStringLiteral("timestamp")};
    const QByteArray oOutput = runSystemCommand(QStringLiteral("/bin/sh"), {QLatin1String(kAntivirusScript)}, 15000);
    QStringList oLines;
    for (const auto &oRecord : parseAntivirusRecords(oOutput, oNames)) {
        QStringList oFields;
        for (const QString &oName : oNames)
            oFields.append(oName + QLatin1Char('=') + oRecord.value(oName));
        oLines.append(oFields.join(QStringLiteral(", ")));
    }
    return oLines.join(QLatin1Char('\n'));
}

QString ProcessUtilsLinuxImpl::getConnectedDevicesInfo()
{
    return QStringLiteral("<NOT IMPLEMENTED>");
}

namespace qtxplatform {

QList<QMap<QString, QString>> parseAntivirusRecords(const QByteArray &v_oOutput, const QStringList &v_oNames)
{
    QList<QMap<QString, QString>> oRecords;
    QByteArray oText = v_oOutput;
    oText.replace("\r\n", "\n");
    oText.replace('\r', '\n');
    QMap<QString, QString> oCurrent;
    bool bHasField = false;
    const auto flush = [&]() {
        if (!bHasField)
            return;
        for (const QString &oName : v_oNames) {
            if (!oCurrent.contains(oName))
                oCurrent.insert(oName, QStringLiteral("<UNKNOWN>"));
        }
        oRecords.append(oCurrent);
        oCurrent.clear();
        bHasField = false;
    };
    for (const QByteArray &oRaw : oText.split('\n')) {
        const QByteArray oLine = oRaw.trimmed();
        if (oLine.isEmpty()) {
            flush();
            continue;
        }
        const int iEq = oLine.indexOf('=');
        if (iEq <= 0)
            continue;
        const QString oName = QString::fromUtf8(oLine.left(iEq));
        if (!v_oNames.contains(oName))
            continue;
        oCurrent.insert(oName, QString::fromUtf8(oLine.mid(iEq + 1)));
        bHasField = true;
    }
    flush();
    return oRecords;
}

} // namespace qtxplatform
