// How long deciding a client's account takes, and the dispatcher's look-up of
// a user's instance, with many processes and sockets on the machine.
//
//   account_lookup lookup     [samples]   clients at 100, 2,000 and 5,000 extra
//                                         processes, then 2,000 with 10,000 extra sockets
//   account_lookup dispatcher [samples]   50 accounts' instances, 5,000 extra processes
//
// Each sample is a new loopback connection. "socket owner" is the look-up the
// server makes now (the kernel's record of the exact connection); "process scan"
// is the walk over every process's descriptors that it made before, timed in
// the same run. Needs root (extra processes, other accounts' sockets through
// setfsuid, accounts for the dispatcher run); every child is ended by its pid.
// Run under flock /tmp/qtx-server.lock.

#include "clientidentity.h"
#include "processutilslinuximpl.h"
#include "processutilslinuximpl_p.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QProcess>
#include <QVector>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <pwd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every client of the bench connects from 127.0.0.1 to 127.0.0.1.
ClientConnection loopbackConnection(quint16 v_uiClientPort, quint16 v_uiServerPort)
{
    return ClientConnection{QHostAddress(QHostAddress::LocalHost), v_uiClientPort, QHostAddress(QHostAddress::LocalHost),
                            v_uiServerPort};
}

std::vector<pid_t> g_children;

void endChildren()
{
    for (const pid_t iPid : g_children)
        ::kill(iPid, SIGKILL);
    for (const pid_t iPid : g_children)
        ::waitpid(iPid, nullptr, 0);
    g_children.clear();
}

// Forks a child that runs v_oBody and then sleeps until killed.
pid_t spawn(const std::function<void()> &v_oBody)
{
    const pid_t iPid = ::fork();
    if (iPid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        v_oBody();
        for (;;)
            ::pause();
    }
    if (iPid > 0)
        g_children.push_back(iPid);
    return iPid;
}

void addSleepers(int v_iCount)
{
    for (int i = 0; i < v_iCount; ++i) {
        if (spawn([] {}) < 0) {
            std::perror("fork");
            return;
        }
    }
}

int listenLoopback(quint16 v_uiPort = 0)
{
    const int iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int iOne = 1;
    ::setsockopt(iFd, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne));
    sockaddr_in oAddr{};
    oAddr.sin_family = AF_INET;
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    oAddr.sin_port = htons(v_uiPort);
    if (::bind(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof(oAddr)) != 0 || ::listen(iFd, 4096) != 0) {
        std::perror("listen");
        std::exit(2);
    }
    return iFd;
}

quint16 localPort(int v_iFd)
{
    sockaddr_in oAddr{};
    socklen_t uiLen = sizeof(oAddr);
    ::getsockname(v_iFd, reinterpret_cast<sockaddr *>(&oAddr), &uiLen);
    return ntohs(oAddr.sin_port);
}

int connectLoopback(quint16 v_uiPort)
{
    const int iFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in oAddr{};
    oAddr.sin_family = AF_INET;
    oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    oAddr.sin_port = htons(v_uiPort);
    if (::connect(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof(oAddr)) != 0) {
        ::close(iFd);
        return -1;
    }
    return iFd;
}

// A child holding v_iPairs loopback connections (2 sockets each) of its own.
void addSockets(int v_iPairs)
{
    spawn([v_iPairs] {
        rlimit oLimit{static_cast<rlim_t>(v_iPairs * 3 + 100), static_cast<rlim_t>(v_iPairs * 3 + 100)};
        ::setrlimit(RLIMIT_NOFILE, &oLimit);
        const int iListener = listenLoopback();
        const quint16 uiPort = localPort(iListener);
        for (int i = 0; i < v_iPairs; ++i) {
            if (connectLoopback(uiPort) < 0 || ::accept(iListener, nullptr, nullptr) < 0) {
                std::perror("extra sockets");
                return;
            }
        }
    });
}

// The client: a child with the highest pid so far (a process walk meets it
// last), making each connection with its socket owned by the uid asked for.
struct Client
{
    int control = -1;

    void start()
    {
        int aPair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aPair);
        spawn([aPair] {
            ::close(aPair[0]);
            int iPrevious = -1;
            struct { qint32 uid; quint16 port; } oAsk;
            while (::read(aPair[1], &oAsk, sizeof(oAsk)) == sizeof(oAsk)) {
                ::setfsuid(static_cast<uid_t>(oAsk.uid));
                const int iFd = connectLoopback(oAsk.port);
                ::setfsuid(0);
                if (iPrevious >= 0)
                    ::close(iPrevious);
                iPrevious = iFd;
                const quint16 uiPort = iFd >= 0 ? localPort(iFd) : 0;
                if (::write(aPair[1], &uiPort, sizeof(uiPort)) != sizeof(uiPort))
                    break;
            }
        });
        ::close(aPair[1]);
        control = aPair[0];
    }
    // The client's port of a new connection to v_uiPort owned by v_iUid.
    quint16 connect(qint32 v_iUid, quint16 v_uiPort)
    {
        struct { qint32 uid; quint16 port; } oAsk{v_iUid, v_uiPort};
        quint16 uiPort = 0;
        if (::write(control, &oAsk, sizeof(oAsk)) != sizeof(oAsk) || ::read(control, &uiPort, sizeof(uiPort)) != sizeof(uiPort))
            return 0;
        return uiPort;
    }
};

struct Figures
{
    double p50 = 0, p99 = 0, max = 0;
};

Figures figures(std::vector<double> v_oMicros)
{
    Figures oOut;
    if (v_oMicros.empty())
        return oOut;
    std::sort(v_oMicros.begin(), v_oMicros.end());
    const auto at = [&](double q) { return v_oMicros[std::min(v_oMicros.size() - 1, size_t(q * (v_oMicros.size() - 1) + 0.5))]; };
    oOut.p50 = at(0.50);
    oOut.p99 = at(0.99);
    oOut.max = v_oMicros.back();
    return oOut;
}

void printRow(const char *v_pCase, const char *v_pMethod, int v_iProcesses, const Figures &v_oFigures, int v_iSamples)
{
    std::printf("%-34s %-16s procs=%-6d p50=%9.1f us  p99=%9.1f us  max=%9.1f us  (n=%d)\n", v_pCase, v_pMethod,
                v_iProcesses, v_oFigures.p50, v_oFigures.p99, v_oFigures.max, v_iSamples);
    std::fflush(stdout);
}

int processCount()
{
    QList<qint64> oPids;
    qtxplatform::listPids("/proc", &oPids);
    return oPids.size();
}

double timeMicros(const std::function<void()> &v_oWork)
{
    QElapsedTimer oTimer;
    oTimer.start();
    v_oWork();
    return oTimer.nsecsElapsed() / 1000.0;
}

uid_t benchUid()
{
    const passwd *pNobody = ::getpwnam("nobody");
    return pNobody ? pNobody->pw_uid : 65534;
}

void runLookup(int v_iSamples)
{
    const int iListener = listenLoopback();
    const quint16 uiServerPort = localPort(iListener);
    const uid_t uiClientUid = benchUid();
    ProcessUtilsLinuxImpl oUtils;
    const QString oServerAccount = oUtils.getDomainAndUsernameForPID(::getpid());

    struct Stage { int extraProcesses; int socketPairs; const char *label; };
    const Stage aStages[] = {{100, 0, "100 extra processes"},
                             {2000, 0, "2,000 extra processes"},
                             {5000, 0, "5,000 extra processes"},
                             {2000, 5000, "2,000 processes + 10,000 sockets"}};
    int iSleepers = 0;
    for (const Stage &oStage : aStages) {
        if (oStage.extraProcesses < iSleepers) {
            endChildren();
            iSleepers = 0;
        }
        addSleepers(oStage.extraProcesses - iSleepers);
        iSleepers = oStage.extraProcesses;
        if (oStage.socketPairs)
            addSockets(oStage.socketPairs);
        Client oClient;
        oClient.start();
        ::usleep(300000);
        std::vector<double> oOwner, oAccept, oScan, oRoot;
        for (int i = 0; i < v_iSamples; ++i) {
            const quint16 uiClientPort = oClient.connect(static_cast<qint32>(uiClientUid), uiServerPort);
            const int iAccepted = ::accept(iListener, nullptr, nullptr);
            if (uiClientPort == 0 || iAccepted < 0) {
                std::fprintf(stderr, "connection failed\n");
                break;
            }
            bool bSame = true;
            oOwner.push_back(timeMicros([&] {
                const ClientIdentity oId = ClientIdentity::resolve(oUtils, loopbackConnection(uiClientPort, uiServerPort));
                bSame = oId.account(oUtils).compare(oServerAccount, Qt::CaseInsensitive) == 0;
            }));
            oAccept.push_back(timeMicros([&] { bSame = peerSocketOwnerUid(iAccepted) == qint64(uiClientUid); }));
            if (i < v_iSamples / 5 + 1) {  // the walk is slow: fewer samples
                oScan.push_back(timeMicros([&] {
                    const qint64 iPid = oUtils.getPidOfClient(loopbackConnection(uiClientPort, uiServerPort));
                    bSame = iPid != 0 && oUtils.getDomainAndUsernameForPID(iPid) == oServerAccount;
                }));
            }
            ::close(iAccepted);
            // A root client (root's socket in root's process): traced to its
            // process, found among the recent root holders after the first time.
            const quint16 uiRootPort = oClient.connect(0, uiServerPort);
            const int iRootAccepted = ::accept(iListener, nullptr, nullptr);
            if (uiRootPort != 0 && iRootAccepted >= 0) {
                oRoot.push_back(timeMicros([&] {
                    const ClientIdentity oId = ClientIdentity::resolve(oUtils, loopbackConnection(uiRootPort, uiServerPort));
                    bSame = oId.isSystem(oUtils);
                }));
                ::close(iRootAccepted);
            }
        }
        const int iProcesses = processCount();
        printRow(oStage.label, "root client", iProcesses, figures(oRoot), int(oRoot.size()));
        printRow(oStage.label, "socket owner", iProcesses, figures(oOwner), int(oOwner.size()));
        printRow(oStage.label, "at accept (fd)", iProcesses, figures(oAccept), int(oAccept.size()));
        printRow(oStage.label, "process scan", iProcesses, figures(oScan), int(oScan.size()));
    }
    endChildren();
    ::close(iListener);
}

// The process walk of the earlier dispatcher: every process, its name, its
// account, and the listening sockets among its descriptors.
quint16 portByProcessWalk(ProcessUtilsLinuxImpl &v_oUtils, const QString &v_oAccount, const QString &v_oName, quint16 v_uiLowest)
{
    QVector<qtxplatform::TcpRow> oRows;
    qtxplatform::readTcpTable("/proc", 1u << qtxplatform::kTcpStateListen, -1, &oRows);
    for (const qint64 iPid : v_oUtils.getPIDsOfUserProcesses(v_oName, v_oAccount)) {
        QSet<quint64> oInodes;
        qtxplatform::socketInodesOfPid("/proc", iPid, &oInodes);
        for (const auto &oRow : qAsConst(oRows)) {
            if (oRow.inode && oInodes.contains(oRow.inode) && oRow.localPort >= v_uiLowest)
                return oRow.localPort;
        }
    }
    return 0;
}

void runDispatcher(const QString &v_oSelf, int v_iSamples)
{
    constexpr int kAccounts = 50;
    constexpr int kProcesses = 5000;
    // Accounts qtxbench01..50, created once and kept (like the test accounts).
    std::vector<uid_t> oUids;
    for (int i = 1; i <= kAccounts; ++i) {
        const QByteArray oName = "qtxbench" + QByteArray::number(i).rightJustified(2, '0');
        if (!::getpwnam(oName.constData()))
            QProcess::execute(QStringLiteral("useradd"), {"-M", "-r", "-U", "-s", "/usr/sbin/nologin", QString::fromLatin1(oName)});
        const passwd *pEntry = ::getpwnam(oName.constData());
        if (!pEntry) {
            std::fprintf(stderr, "cannot create %s\n", oName.constData());
            std::exit(2);
        }
        oUids.push_back(pEntry->pw_uid);
    }
    addSleepers(kProcesses);
    // The dispatcher's own listener, then one instance per account above it:
    // this executable again (same process name), listening as that account.
    const int iDispatcher = listenLoopback();
    const quint16 uiDispatcherPort = localPort(iDispatcher);
    std::vector<quint16> oInstancePorts;
    for (int i = 0; i < kAccounts; ++i) {
        int aPipe[2];
        if (::pipe(aPipe) != 0)
            std::exit(2);
        const uid_t uiUid = oUids[size_t(i)];
        const QByteArray oSelf = QFile::encodeName(v_oSelf);
        const pid_t iPid = ::fork();
        if (iPid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(aPipe[0]);
            ::dup2(aPipe[1], 1);
            if (::setgid(uiUid) != 0 && ::setgid(65534) != 0)
                ::_exit(3);
            if (::setuid(uiUid) != 0)
                ::_exit(3);
            const QByteArray oLowest = QByteArray::number(uiDispatcherPort + 1);
            ::execl(oSelf.constData(), oSelf.constData(), "instance", oLowest.constData(), nullptr);
            ::_exit(4);
        }
        g_children.push_back(iPid);
        ::close(aPipe[1]);
        quint16 uiPort = 0;
        if (::read(aPipe[0], &uiPort, sizeof(uiPort)) != sizeof(uiPort)) {
            std::fprintf(stderr, "instance %d did not start\n", i);
            std::exit(2);
        }
        ::close(aPipe[0]);
        oInstancePorts.push_back(uiPort);
    }
    Client oClient;
    oClient.start();
    ::usleep(300000);

    ProcessUtilsLinuxImpl oUtils;
    const QString oName = oUtils.getNameOfProcessWithPID(::getpid());
    const quint16 uiLowest = uiDispatcherPort + 1;
    std::vector<double> oNow, oBefore;
    int iWrong = 0;
    for (int i = 0; i < v_iSamples; ++i) {
        const int iAccount = i % kAccounts;
        const quint16 uiClientPort = oClient.connect(static_cast<qint32>(oUids[size_t(iAccount)]), uiDispatcherPort);
        const int iAccepted = ::accept(iDispatcher, nullptr, nullptr);
        if (uiClientPort == 0 || iAccepted < 0)
            break;
        quint16 uiFound = 0;
        oNow.push_back(timeMicros([&] {
            const ClientIdentity oId = ClientIdentity::resolve(oUtils, loopbackConnection(uiClientPort, uiDispatcherPort));
            uiFound = oUtils.getPortOfUserProcess(oId.account(oUtils), oName, uiLowest);
        }));
        iWrong += uiFound != oInstancePorts[size_t(iAccount)];
        if (i < kAccounts * 2) {
            oBefore.push_back(timeMicros([&] {
                // The walk finds this bench's client process (root, which made
                // the socket for the account): timed, but the account is the socket's.
                const qint64 iPid = oUtils.getPidOfClient(loopbackConnection(uiClientPort, uiDispatcherPort));
                const QString oAccount = oUtils.getDomainAndUsernameForUid(oUids[size_t(iAccount)]);
                Q_UNUSED(iPid);
                uiFound = portByProcessWalk(oUtils, oAccount, oName, uiLowest);
            }));
            iWrong += uiFound != oInstancePorts[size_t(iAccount)];
        }
        ::close(iAccepted);
    }
    const int iProcesses = processCount();
    printRow("dispatcher, 50 instances", "socket owner", iProcesses, figures(oNow), int(oNow.size()));
    printRow("dispatcher, 50 instances", "process scan", iProcesses, figures(oBefore), int(oBefore.size()));
    std::printf("wrong ports: %d\n", iWrong);
    endChildren();
}

// A stand-in user instance: listens on the first free port at or above the
// lowest, reports it on stdout (binary) and waits to be killed.
int runInstance(quint16 v_uiLowest)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (quint32 uiPort = v_uiLowest; uiPort < 65535; ++uiPort) {
        const int iFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in oAddr{};
        oAddr.sin_family = AF_INET;
        oAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        oAddr.sin_port = htons(static_cast<quint16>(uiPort));
        if (::bind(iFd, reinterpret_cast<sockaddr *>(&oAddr), sizeof(oAddr)) == 0 && ::listen(iFd, 64) == 0) {
            const quint16 uiGot = static_cast<quint16>(uiPort);
            if (::write(1, &uiGot, sizeof(uiGot)) != sizeof(uiGot))
                return 1;
            for (;;)
                ::pause();
        }
        ::close(iFd);
    }
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray oMode = argc > 1 ? argv[1] : "";
    if (oMode == "instance")
        return runInstance(static_cast<quint16>(argc > 2 ? std::atoi(argv[2]) : 20000));
    QCoreApplication oApp(argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "run as root: it makes processes, accounts and other accounts' sockets\n");
        return 2;
    }
    const int iSamples = argc > 2 ? std::atoi(argv[2]) : 0;
    std::atexit(endChildren);
    if (oMode == "lookup") {
        runLookup(iSamples > 0 ? iSamples : 500);
        return 0;
    }
    if (oMode == "dispatcher") {
        runDispatcher(QCoreApplication::applicationFilePath(), iSamples > 0 ? iSamples : 1000);
        return 0;
    }
    std::fprintf(stderr, "usage: account_lookup lookup|dispatcher [samples]\n");
    return 2;
}
