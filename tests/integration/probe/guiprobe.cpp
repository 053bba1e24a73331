// GuiProbe: the integration tests' module; each export is a command under its
// own name. Literals (GUI) hands Qt data in this library's memory, as dialogs
// do unawares: a font family literal (kept in Qt's font cache), a property
// value and an object name of the application object, a value of this
// library's metatype; it answers how often the static initialisers and Init
// ran. Keys answers the request map's "keyHttp..." entries as JSON.

#include "qtxmodule.h"

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMetaType>

namespace {

struct ProbeValue
{
    int iValue = 0;
};

int g_iStaticInits = 0;
int g_iInits = 0;

struct CountStaticInit
{
    CountStaticInit() { ++g_iStaticInits; }
} g_oCountStaticInit;

} // namespace

Q_DECLARE_METATYPE(ProbeValue)

QTX_MODULE_COMMAND(Literals);

QTX_MODULE_EXPORT void Init()
{
    ++g_iInits;
}

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return v_poFunction == &Literals;
}

// "kind": font, property, object, metatype or all.
QTX_MODULE_COMMAND(Literals)
{
    Q_UNUSED(v_oSessionParams);
    const QByteArray oKind = v_oRequest.value("kind", "all");
    const bool bAll = oKind == "all";
    if (bAll || oKind == "font") {
        QLabel oLabel(QStringLiteral("0123456789abcdef"));
        oLabel.setFont(QFont(QStringLiteral("monospace")));
        oLabel.show();
        QFontMetrics(oLabel.font()).horizontalAdvance(oLabel.text());
        QApplication::processEvents();
    }
    if (bAll || oKind == "property")
        qApp->setProperty("qtxProbeText", QStringLiteral("kept by the application object"));
    if (bAll || oKind == "object") {
        if (!qApp->findChild<QObject *>(QStringLiteral("qtxProbeChild"), Qt::FindDirectChildrenOnly))
            (new QObject(qApp))->setObjectName(QStringLiteral("qtxProbeChild"));
    }
    if (bAll || oKind == "metatype") {
        qRegisterMetaType<ProbeValue>("ProbeValue");
        // Destroyed with the application object, through this library's function.
        qApp->setProperty("qtxProbeValue", QVariant::fromValue(ProbeValue{42}));
    }
    return "static=" + QByteArray::number(g_iStaticInits) + " init=" + QByteArray::number(g_iInits);
}

QTX_MODULE_COMMAND(Keys)
{
    Q_UNUSED(v_oSessionParams);
    QJsonObject oKeys;
    for (const QByteArray &oKey : v_oRequest.uniqueKeys()) {
        if (!oKey.startsWith("keyHttp"))
            continue;
        QJsonArray oValues;
        for (const QByteArray &oValue : v_oRequest.values(oKey))
            oValues.append(QString::fromUtf8(oValue));
        oKeys.insert(QString::fromUtf8(oKey), oValues);
    }
    return QJsonDocument(oKeys).toJson(QJsonDocument::Compact);
}
