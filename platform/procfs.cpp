#include "procfs.h"
#include "qtxthreadcheck.h"

#include "unixhandles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace qtxplatform {

bool isAllDigits(const char *v_pText)
{
    if (!*v_pText)
        return false;
    for (const char *p = v_pText; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

QByteArray pidPath(const QByteArray &v_oProcRoot, qint64 v_iPid, const char *v_pLeaf)
{
    return v_oProcRoot + '/' + QByteArray::number(v_iPid) + '/' + v_pLeaf;
}

int readSmallFile(const QByteArray &v_oPath, QByteArray *v_poContent, qint64 v_iLimit)
{
    v_poContent->clear();
    UniqueFd oFd(::open(v_oPath.constData(), O_RDONLY | O_CLOEXEC));
    if (!oFd.valid())
        return errno;
    char aBuffer[8192];
    for (;;) {
        const ssize_t iRead = ::read(oFd.get(), aBuffer, sizeof(aBuffer));
        if (iRead < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (iRead == 0)
            return 0;
        if (v_poContent->size() + iRead > v_iLimit)
            return EFBIG;
        v_poContent->append(aBuffer, static_cast<int>(iRead));
    }
}

int listPids(const QByteArray &v_oProcRoot, QList<qint64> *v_poPids)
{
    // Every process of the system: a scan for a worker, never for an I/O thread.
    QTX_ASSERT_NOT_IO_THREAD();
    v_poPids->clear();
    UniqueDir oDir(::opendir(v_oProcRoot.constData()));
    if (!oDir)
        return errno;
    errno = 0;
    while (const dirent *pEntry = ::readdir(oDir.get())) {
        if (!isAllDigits(pEntry->d_name) || std::strlen(pEntry->d_name) > 10)
            continue;
        const qint64 iPid = QByteArray(pEntry->d_name).toLongLong();
        if (iPid > 0)
            v_poPids->append(iPid);
    }
    if (errno != 0)
        return errno;
    std::sort(v_poPids->begin(), v_poPids->end());
    return 0;
}

namespace {

// The fields after "<key>:" on the line that starts with key. The line is
// found in place: a status file has some fifty lines, and a new connection
// from a root-owned socket reads one or two of them.
QList<QByteArray> statusFields(const QByteArray &v_oStatus, const QByteArray &v_oKey)
{
    const QByteArray oLineStart = '\n' + v_oKey + ':';
    int iAt = v_oStatus.startsWith(oLineStart.mid(1)) ? 0 : v_oStatus.indexOf(oLineStart);
    if (iAt < 0)
        return {};
    if (v_oStatus.at(iAt) == '\n') // found by its line's start
        ++iAt;
    const int iFrom = iAt + v_oKey.size() + 1;
    int iEnd = v_oStatus.indexOf('\n', iFrom);
    if (iEnd < 0)
        iEnd = v_oStatus.size();
    return v_oStatus.mid(iFrom, iEnd - iFrom).simplified().split(' ');
}

} // namespace

bool parseStatusEffectiveUid(const QByteArray &v_oStatus, uid_t *v_poUid)
{
    const QList<QByteArray> oFields = statusFields(v_oStatus, "Uid");
    if (oFields.size() < 2)
        return false;
    bool bOk = false;
    const qulonglong uiUid = oFields.at(1).toULongLong(&bOk);
    if (!bOk || uiUid > 0xFFFFFFFEull)
        return false;
    *v_poUid = static_cast<uid_t>(uiUid);
    return true;
}

bool parseStatusCapEff(const QByteArray &v_oStatus, quint64 *v_poCaps)
{
    const QList<QByteArray> oFields = statusFields(v_oStatus, "CapEff");
    if (oFields.size() != 1 || oFields.at(0).isEmpty() || oFields.at(0).size() > 16)
        return false;
    bool bOk = false;
    const qulonglong uiCaps = oFields.at(0).toULongLong(&bOk, 16);
    if (!bOk)
        return false;
    *v_poCaps = uiCaps;
    return true;
}

bool parseStatStartTime(const QByteArray &v_oStat, quint64 *v_poTicks)
{
    const int iClose = v_oStat.lastIndexOf(')');
    if (iClose < 0)
        return false;
    // After ") ": field 3 (state) onwards; starttime is field 22.
    const QList<QByteArray> oFields = v_oStat.mid(iClose + 1).simplified().split(' ');
    constexpr int kStartTimeIndex = 22 - 3;
    if (oFields.size() <= kStartTimeIndex)
        return false;
    bool bOk = false;
    const qulonglong uiTicks = oFields.at(kStartTimeIndex).toULongLong(&bOk);
    if (!bOk)
        return false;
    *v_poTicks = uiTicks;
    return true;
}

QString processNameFromPath(const QByteArray &v_oPath, bool v_bIsPath)
{
    QByteArray oPath = v_oPath;
    static const QByteArray kDeleted(" (deleted)");
    if (oPath.endsWith(kDeleted))
        oPath.chop(kDeleted.size());
    QString oName = QString::fromLocal8Bit(oPath);
    const int iSlash = v_bIsPath ? oName.lastIndexOf(QLatin1Char('/')) : -1;
    if (iSlash >= 0)
        oName = oName.mid(iSlash + 1);
    const int iDot = oName.lastIndexOf(QLatin1Char('.'));
    if (iDot > 0)  // ".hidden" has no extension
        oName.truncate(iDot);
    return oName;
}

} // namespace qtxplatform
