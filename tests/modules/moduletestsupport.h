#pragma once

// Paths of the fixture modules and the counters tstmod keeps in the environment.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace tst {

// <fixtures>/<case>/<module> without extension, as the module manager builds it.
inline QString fixture(const char *v_pCase, const char *v_pModule = "tstmod")
{
    return QStringLiteral(QTX_TEST_FIXTURES "/") + QLatin1String(v_pCase) + QLatin1Char('/')
           + QLatin1String(v_pModule);
}

inline int counter(const char *v_pName)
{
    return qgetenv(v_pName).toInt();
}
inline int initCount() { return counter("QTX_TST_TSTMOD_INIT"); }
inline int deinitCount() { return counter("QTX_TST_TSTMOD_DEINIT"); }
inline int loadCount() { return counter("QTX_TST_TSTMOD_LOADED"); }

} // namespace tst
