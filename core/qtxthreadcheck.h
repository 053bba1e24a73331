#pragma once

// Thread rules made checkable. Debug builds (the sanitizer suite among them)
// abort with the function's name when an entry point with a thread rule is
// called on the wrong thread; release builds compile the checks away.
//
//   QTX_ASSERT_OWN_THREAD(object)  runs on the thread the QObject lives on
//   QTX_ASSERT_NOT_MAIN_THREAD()   never on the main thread (it may block)
//   QTX_ASSERT_NOT_IO_THREAD()     never on a reactor's I/O thread: it may
//                                  block, or it runs a module's code

#include <QCoreApplication>
#include <QThread>

#define QTX_ASSERT_OWN_THREAD(object)                                                                            \
    Q_ASSERT_X(QThread::currentThread() == (object)->thread(), Q_FUNC_INFO,                                     \
               "called on another thread than the object's")

#define QTX_ASSERT_NOT_MAIN_THREAD()                                                                             \
    Q_ASSERT_X(!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread(), \
               Q_FUNC_INFO, "called on the main thread, which must never block")

namespace qtxthread {

// Set once by each reactor thread before its loop; in every build, since the
// log queue reads it to choose not to wait.
void markIoThread();
bool onIoThread();

// What a failed QTX_ASSERT_NOT_IO_THREAD calls: by default qFatal with the
// function's name. A test may put its own in; returns the one it replaces.
using Violation = void (*)(const char *v_pWhere);
Violation setViolationHandler(Violation v_pHandler);
void ioThreadViolation(const char *v_pWhere);

// Whether core was built with the I/O-thread checks (a debug build).
bool ioThreadChecksBuilt();

} // namespace qtxthread

#ifndef QT_NO_DEBUG
#define QTX_ASSERT_NOT_IO_THREAD()                                                                               \
    do {                                                                                                         \
        if (qtxthread::onIoThread())                                                                             \
            qtxthread::ioThreadViolation(Q_FUNC_INFO);                                                           \
    } while (false)
#else
#define QTX_ASSERT_NOT_IO_THREAD()                                                                               \
    do {                                                                                                         \
    } while (false)
#endif
