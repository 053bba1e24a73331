#pragma once

// Other people's tools (openssl, certutil, pdfsig, qpdf, softhsm2-util, ...)
// run by the tests, with a bound on their time: a command written as one
// template line, its exit code and merged output.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace stk {

struct Run
{
    int code = -1; // -1: it did not end in time or crashed
    QByteArray output; // stdout and stderr
    bool ok() const { return code == 0; }
};

// A command line: the template's words, with %1, %2, ... in each word replaced
// by the arguments (an argument with blanks stays one word).
QStringList words(const QString &v_oTemplate, const QStringList &v_oArgs = {});
Run run(const QString &v_oProgram, const QStringList &v_oArguments, const QProcessEnvironment &v_oEnv = {},
        const QString &v_oFolder = QString());
// words(), the first one the program.
Run tool(const QString &v_oTemplate, const QStringList &v_oArgs = {}, const QProcessEnvironment &v_oEnv = {},
         const QString &v_oFolder = QString());

} // namespace stk
