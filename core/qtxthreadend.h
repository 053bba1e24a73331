#pragma once

class QThread;

// QThread::wait() returns once the thread has marked itself finished, before
// the C library runs the thread's key destructors, which is where OpenSSL
// frees the thread's random generators. A process that exits right after the
// wait would then run OpenSSL's own cleanup beside that destructor (and leak
// or free twice). This frees the thread's OpenSSL state on the thread itself,
// as it finishes and before any waiter wakes. Call it once per thread.
void qtxEndOpenSslStateWithThread(QThread *v_poThread);
