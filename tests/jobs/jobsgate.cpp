#include "jobstestsupport.h"

#include "qtxexceptions.h"

#include <condition_variable>
#include <map>
#include <string>

namespace {

struct Gate
{
    bool bOpen = false;
    int iWaiting = 0;
    int iReturned = 0;
};

std::mutex g_oGateMutex;
std::condition_variable g_oGateChanged;
std::map<std::string, Gate> g_oGates;

} // namespace

// Exported from the test executable; JobsProbe's Block calls it.
extern "C" __attribute__((visibility("default"))) void qtxJobsGateWait(const char *v_pGate)
{
    std::unique_lock<std::mutex> oLock(g_oGateMutex);
    Gate &oGate = g_oGates[v_pGate ? v_pGate : ""];
    ++oGate.iWaiting;
    g_oGateChanged.wait(oLock, [&oGate] { return oGate.bOpen; });
    --oGate.iWaiting;
    ++oGate.iReturned;
}

void jobsGateOpen(const QByteArray &v_oGate)
{
    {
        std::lock_guard<std::mutex> oGuard(g_oGateMutex);
        g_oGates[v_oGate.toStdString()].bOpen = true;
    }
    g_oGateChanged.notify_all();
}

int jobsGateWaiting(const QByteArray &v_oGate)
{
    std::lock_guard<std::mutex> oGuard(g_oGateMutex);
    return g_oGates[v_oGate.toStdString()].iWaiting;
}

int jobsGateReturned(const QByteArray &v_oGate)
{
    std::lock_guard<std::mutex> oGuard(g_oGateMutex);
    return g_oGates[v_oGate.toStdString()].iReturned;
}

// Also keeps the exception family linked into the executable, whose exports
// the probe module binds to when it is loaded.
QByteArray jobsFamilyWhat(const QString &v_oMessage)
{
    return QByteArray(NotImplementedException(v_oMessage).what());
}
