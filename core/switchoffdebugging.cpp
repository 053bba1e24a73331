#include "switchoffdebugging.h"

#include "qtxlogger.h"

#include <log4cpp/Appender.hh>

#include <QFile>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

SwitchOffDebugging::SwitchOffDebugging(QObject *v_poParent, int v_iIntervalMs)
    : QObject(v_poParent)
{
#ifdef NDEBUG
    check();
    m_poTimer = new QTimer(this);
    connect(m_poTimer, &QTimer::timeout, this, &SwitchOffDebugging::check);
    m_poTimer->start(v_iIntervalMs);
#else
    Q_UNUSED(v_iIntervalMs);
#endif
}

SwitchOffDebugging::~SwitchOffDebugging() = default;

qint64 SwitchOffDebugging::TracerPid(const QString &v_oStatusPath)
{
    QFile oFile(v_oStatusPath);
    if (!oFile.open(QIODevice::ReadOnly))
        return 0;
    // The file is a few hundred bytes; read it whole rather than line by line.
    const QByteArray oData = oFile.read(16384);
    static const QByteArray s_oKey("\nTracerPid:");
    const int iPos = oData.indexOf(s_oKey);
    if (iPos < 0)
        return 0;
    const int iStart = iPos + s_oKey.size();
    const int iEnd = oData.indexOf('\n', iStart);
    bool bOk = false;
    const qint64 iPid = oData.mid(iStart, iEnd < 0 ? -1 : iEnd - iStart).trimmed().toLongLong(&bOk);
    return bOk ? iPid : 0;
}

void SwitchOffDebugging::check()
{
    const qint64 iTracer = TracerPid();
    if (iTracer == 0)
        return;
    QTX_LOG(SwitchOffDebuggingLogger::Instance(), CRIT, "SwitchOffDebugging::check")
        << "Debugger attached (tracer pid " << iTracer << "), ending the process";
    log4cpp::Appender::closeAll();
    std::fflush(nullptr);
    ::_exit(3);
}
