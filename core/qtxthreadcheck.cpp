#include "qtxthreadcheck.h"

#include <atomic>

namespace {

thread_local bool t_bIoThread = false;

void fatalViolation(const char *v_pWhere)
{
    qFatal("%s: called on an I/O thread, which runs only the server's own non-blocking code", v_pWhere);
}

std::atomic<qtxthread::Violation> g_pViolation{&fatalViolation};

} // namespace

namespace qtxthread {

void markIoThread()
{
    t_bIoThread = true;
}

bool onIoThread()
{
    return t_bIoThread;
}

Violation setViolationHandler(Violation v_pHandler)
{
    return g_pViolation.exchange(v_pHandler ? v_pHandler : &fatalViolation);
}

void ioThreadViolation(const char *v_pWhere)
{
    g_pViolation.load()(v_pWhere);
}

bool ioThreadChecksBuilt()
{
#ifndef QT_NO_DEBUG
    return true;
#else
    return false;
#endif
}

} // namespace qtxthread
