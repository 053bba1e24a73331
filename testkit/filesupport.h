#pragma once

// Whole-file reads and writes shared by the tests and benches; a write can also set the
// file's mode (secrets are refused while other accounts could read them).

#include <QFile>

#include <sys/stat.h>

namespace tst {

inline QByteArray readFile(const QString &v_oPath)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}
// v_iMode < 0 leaves the mode the file was created with.
inline bool writeFile(const QString &v_oPath, const QByteArray &v_oData, int v_iMode = -1)
{
    QFile oFile(v_oPath);
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(v_oData) == v_oData.size()
           && oFile.flush() && (v_iMode < 0 || ::chmod(QFile::encodeName(v_oPath).constData(), mode_t(v_iMode)) == 0);
}

} // namespace tst
