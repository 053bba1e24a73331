#pragma once

// Shared by the module tests: the lines logged to "moduleTools" (where the module
// classes write while no server logger exists), file helpers, the build's
// signing key, the fixture modules and the counters tstmod keeps in the environment.

#include "../../testkit/filesupport.h"
#include "../logcapture.h"
#include "qtxsigner.h"

#include <QtTest>

namespace tst {

inline QByteArray signingKeyPem() { return readFile(QStringLiteral(QTX_TEST_SIGNING_KEY)); }

// Writes v_oData to v_oPath and signs it with the build's signing key.
inline bool writeSigned(const QString &v_oPath, const QByteArray &v_oData, bool v_bPlain,
                        int v_iPadding = qtxsign::kAutoPadding)
{
    QString oMessage;
    return writeFile(v_oPath, v_oData)
           && qtxsign::signFile(v_oPath, signingKeyPem(), v_bPlain, v_iPadding, &oMessage) == qtxsign::Outcome::Ok;
}

// <fixtures>/<case>/<module> without extension, as the module manager builds it.
inline QString fixture(const QString &v_oCase, const char *v_pModule = "tstmod")
{
    return QStringLiteral(QTX_TEST_FIXTURES "/") + v_oCase + QLatin1Char('/') + QLatin1String(v_pModule);
}
inline int initCount() { return qgetenv("QTX_TST_TSTMOD_INIT").toInt(); }
inline int deinitCount() { return qgetenv("QTX_TST_TSTMOD_DEINIT").toInt(); }
inline int loadCount() { return qgetenv("QTX_TST_TSTMOD_LOADED").toInt(); }

} // namespace tst

#define TST_REQUIRE_SIGNING_KEY() \
    if (tst::signingKeyPem().isEmpty()) QSKIP("The build has no module signing key (vendor public key without private)")
