#include "toolrun.h"

#include <QProcess>

namespace stk {

QStringList words(const QString &v_oTemplate, const QStringList &v_oArgs)
{
    QStringList oWords = v_oTemplate.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (QString &oWord : oWords) {
        // Backwards, so %1 does not eat the start of %10.
        for (int i = v_oArgs.size(); i >= 1; --i)
            oWord.replace(QLatin1Char('%') + QString::number(i), v_oArgs.at(i - 1));
    }
    return oWords;
}

Run run(const QString &v_oProgram, const QStringList &v_oArguments, const QProcessEnvironment &v_oEnv,
        const QString &v_oFolder)
{
    QProcess oProcess;
    oProcess.setProcessChannelMode(QProcess::MergedChannels);
    if (!v_oEnv.isEmpty())
        oProcess.setProcessEnvironment(v_oEnv);
    if (!v_oFolder.isEmpty())
        oProcess.setWorkingDirectory(v_oFolder);
    oProcess.start(v_oProgram, v_oArguments);
    Run oRun;
    if (oProcess.waitForFinished(120000) && oProcess.exitStatus() == QProcess::NormalExit)
        oRun.code = oProcess.exitCode();
    oRun.output = oProcess.readAll();
    return oRun;
}

Run tool(const QString &v_oTemplate, const QStringList &v_oArgs, const QProcessEnvironment &v_oEnv,
         const QString &v_oFolder)
{
    QStringList oWords = words(v_oTemplate, v_oArgs);
    const QString oProgram = oWords.takeFirst();
    return run(oProgram, oWords, v_oEnv, v_oFolder);
}

} // namespace stk
