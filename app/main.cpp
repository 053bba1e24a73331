#include "cstartup.h"

#include "qtxlogger.h"
#include "switchoffdebugging.h"

#include "qtxtypes.h"

#include <log4cpp/Appender.hh>

#include <QCoreApplication>

#include <memory>

#include <malloc.h>

// Detaches from the controlling terminal: a new session where possible (not
// when this process already leads a process group, as under an interactive
// shell), else give up the terminal; standard streams go to /dev/null.
static void detachFromTerminal();

int main(int argc, char *argv[])
{
    // Every ordinary module job runs on a thread of its own; with glibc's default
    // of one malloc arena per thread the freed memory stays spread over many
    // arenas and the resident size creeps up. Two arenas keep it flat.
    mallopt(M_ARENA_MAX, 2);
    installFatalSignalHandlers();
    registerQtxMetaTypes();

    int iResult = 0;
    {
        CStartup oStartup(argc, argv);
        auto poGuard = std::make_unique<SwitchOffDebugging>();
        // Before the terminal is left: where to reach it and what to trust.
        oStartup.announceOnTerminal(5000);
        if (!oStartup.consoleMode())
            detachFromTerminal();

        iResult = QCoreApplication::exec();

        QTXLogger::Instance();
        log4cpp::Appender::closeAll();
        poGuard.reset();
    }
    return iResult;
}

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

static void detachFromTerminal()
{
    // A detached server outlives its terminal: the shell that started it sends
    // its jobs SIGHUP when the terminal closes, and a session leader that gives
    // up its terminal gets one at once.
    ::signal(SIGHUP, SIG_IGN);
    if (::setsid() < 0) {
        const int iTty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (iTty >= 0) {
            ::ioctl(iTty, TIOCNOTTY);
            ::close(iTty);
        }
    }
    const int iNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (iNull >= 0) {
        ::dup2(iNull, STDIN_FILENO);
        ::dup2(iNull, STDOUT_FILENO);
        ::dup2(iNull, STDERR_FILENO);
        if (iNull > STDERR_FILENO)
            ::close(iNull);
    }
}
