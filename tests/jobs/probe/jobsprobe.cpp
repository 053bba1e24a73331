// JobsProbe: a test module for the job and time-out tests. Each export is a
// command under its own name (no command file). Dialog and GuiEcho are GUI
// commands. Block waits on a named gate that lives in the test executable
// (qtxJobsGateWait, resolved from the executable at load time, as is the
// server's exception family).

#include "qtxexceptions.h"
#include "qtxmodule.h"

#include <QDialog>
#include <QThread>

#include <chrono>
#include <stdexcept>
#include <thread>

extern "C" void qtxJobsGateWait(const char *v_pGate);

namespace {

QByteArray currentThreadText()
{
    return QByteArray::number(quintptr(QThread::currentThread()), 16);
}

} // namespace

QTX_MODULE_COMMAND(Echo);
QTX_MODULE_COMMAND(Dialog);
QTX_MODULE_COMMAND(GuiEcho);

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return v_poFunction == &Dialog || v_poFunction == &GuiEcho;
}

QTX_MODULE_EXPORT bool CanUnprivilegedRun(tpfun v_poFunction)
{
    return v_poFunction == &Echo;
}

// "echo:" + data, after "delayMs" milliseconds.
QTX_MODULE_COMMAND(Echo)
{
    Q_UNUSED(v_oSessionParams);
    const int iDelay = v_oRequest.value("delayMs").toInt();
    if (iDelay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(iDelay));
    return "echo:" + v_oRequest.value("data");
}

QTX_MODULE_COMMAND(Empty)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    return tResultType();
}

// The session variable "tag" as the module received it.
QTX_MODULE_COMMAND(SessionTag)
{
    Q_UNUSED(v_oRequest);
    return "tag:" + v_oSessionParams.value("tag").toByteArray();
}

QTX_MODULE_COMMAND(ThrowStd)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    throw std::runtime_error("runtime failure in module");
}

QTX_MODULE_COMMAND(ThrowFamily)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    throw NotImplementedException(QStringLiteral("family failure in module"));
}

QTX_MODULE_COMMAND(ThrowText)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    throw "text failure in module";
}

QTX_MODULE_COMMAND(ThrowInt)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    throw 42;
}

// Waits until the test opens the gate named by "gate"; answers the thread it ran on.
QTX_MODULE_COMMAND(Block)
{
    Q_UNUSED(v_oSessionParams);
    qtxJobsGateWait(v_oRequest.value("gate").constData());
    return "thread:" + currentThreadText();
}

// A modal dialog; answers exec()'s result (0 when it was closed or rejected).
QTX_MODULE_COMMAND(Dialog)
{
    Q_UNUSED(v_oSessionParams);
    QDialog oDialog;
    oDialog.setWindowTitle(QString::fromUtf8(v_oRequest.value("title", "JobsProbe")));
    return "dialog:" + QByteArray::number(oDialog.exec());
}

QTX_MODULE_COMMAND(GuiEcho)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    return "gui:" + currentThreadText();
}
