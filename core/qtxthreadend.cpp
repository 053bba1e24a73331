#include "qtxthreadend.h"

#include <QThread>

#include <openssl/crypto.h>

void qtxEndOpenSslStateWithThread(QThread *v_poThread)
{
    // No context object: the call is direct, on the finishing thread.
    QObject::connect(v_poThread, &QThread::finished, [] { OPENSSL_thread_stop(); });
}
