#pragma once

// Thread rules made checkable. Debug builds (the sanitizer suite among them)
// abort with the function's name when an entry point with a thread rule is
// called on the wrong thread; release builds compile the checks away.
//
//   QTX_ASSERT_OWN_THREAD(object)  runs on the thread the QObject lives on
//   QTX_ASSERT_NOT_MAIN_THREAD()   never on the main thread (it may block)

#include <QCoreApplication>
#include <QThread>

#define QTX_ASSERT_OWN_THREAD(object)                                                                            \
    Q_ASSERT_X(QThread::currentThread() == (object)->thread(), Q_FUNC_INFO,                                     \
               "called on another thread than the object's")

#define QTX_ASSERT_NOT_MAIN_THREAD()                                                                             \
    Q_ASSERT_X(!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread(), \
               Q_FUNC_INFO, "called on the main thread, which must never block")
