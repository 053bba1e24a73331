// Prints the key pass phrase the calling account derives, as the server would:
//   qtx_derive_phrase          secret + machine id + motherboard; exit 1 without a usable secret
//   qtx_derive_phrase machine  the machine values alone (what any account can read)
// Multi-account tests run it as another account to show what that account can derive.
#include "secureobject.h"
#include "uniquepass.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication oApp(argc, argv);
    const bool bMachineOnly = QCoreApplication::arguments().value(1) == QLatin1String("machine");
    UniquePass oSource(bMachineOnly ? 2 : 4);
    if (!bMachineOnly && !oSource.hasAccountSecret())
        return 1;
    SecurePass oPass;
    oSource.getPassword(oPass);
    std::fwrite(oPass.data(), 1, std::size_t(oPass.size()), stdout);
    std::fputc('\n', stdout);
    return 0;
}
