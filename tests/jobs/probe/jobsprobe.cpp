// JobsProbe: a test module for the job and time-out tests. Each export is a
// command under its own name (no command file). Dialog and GuiEcho are GUI
// commands. Block waits on a named gate that lives in the test executable
// (qtxJobsGateWait, resolved from the executable at load time, as is the
// server's exception family).

#include "qtxexceptions.h"
#include "qtxmodule.h"

#include <QDialog>
#include <QLabel>
#include <QThread>
#include <QVBoxLayout>

#include <stdexcept>

extern "C" void qtxJobsGateWait(const char *v_pGate);

static QByteArray currentThreadText()
{
    return QByteArray::number(quintptr(QThread::currentThread()), 16);
}

QTX_MODULE_COMMAND(Dialog);
QTX_MODULE_COMMAND(GuiEcho);

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return v_poFunction == &Dialog || v_poFunction == &GuiEcho;
}

// The "data" parameter, unchanged.
QTX_MODULE_COMMAND(Echo)
{
    Q_UNUSED(v_oSessionParams);
    return v_oRequest.value("data");
}

// Throws what "kind" names: std, family, text, or else an int.
QTX_MODULE_COMMAND(Throw)
{
    Q_UNUSED(v_oSessionParams);
    const QByteArray oKind = v_oRequest.value("kind");
    if (oKind == "std")
        throw std::runtime_error("runtime failure in module");
    if (oKind == "family")
        throw NotImplementedException(QStringLiteral("family failure in module"));
    if (oKind == "text")
        throw "text failure in module";
    throw 42;
}

// Waits until the test opens the gate named by "gate"; answers the thread it ran on.
QTX_MODULE_COMMAND(Block)
{
    Q_UNUSED(v_oSessionParams);
    qtxJobsGateWait(v_oRequest.value("gate").constData());
    return "thread:" + currentThreadText();
}

// A modal dialog titled "title", styled by "style", with a label in a layout
// or (without "layout") placed by hand at (10, 10); answers exec()'s result
// (0 when it was closed or rejected).
QTX_MODULE_COMMAND(Dialog)
{
    Q_UNUSED(v_oSessionParams);
    QDialog oDialog;
    oDialog.setWindowTitle(QString::fromUtf8(v_oRequest.value("title")));
    oDialog.setStyleSheet(QString::fromUtf8(v_oRequest.value("style")));
    auto *poLabel = new QLabel(QStringLiteral("The module's own text"), &oDialog);
    if (v_oRequest.contains("layout"))
        (new QVBoxLayout(&oDialog))->addWidget(poLabel);
    else
        poLabel->move(10, 10);
    return "dialog:" + QByteArray::number(oDialog.exec());
}

QTX_MODULE_COMMAND(GuiEcho)
{
    Q_UNUSED(v_oRequest);
    Q_UNUSED(v_oSessionParams);
    return "gui:" + currentThreadText();
}
