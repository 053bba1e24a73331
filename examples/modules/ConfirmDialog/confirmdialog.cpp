// ConfirmDialog: a GUI command. Confirm shows a modal dialog with the page's
// "text" (and optional "title") and answers which button the user pressed.
// When the server cancels the job it closes all top-level windows; exec() then
// returns Rejected and the answer is "cancelled".

#include "qtxmodule.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QTX_MODULE_COMMAND(Confirm);

QTX_MODULE_EXPORT bool IsGuiFunction(tpfun v_poFunction)
{
    return v_poFunction == &Confirm;
}

QTX_MODULE_EXPORT bool CanUseOnTerminalServices()
{
    return true;
}

// {"answer":"yes"|"no"|"cancelled"}
QTX_MODULE_COMMAND(Confirm)
{
    Q_UNUSED(v_oSessionParams);
    enum { kNo = 2 };
    // Runs on the server's main thread: the dialog lives only inside this call.
    QDialog oDialog;
    oDialog.setWindowTitle(QString::fromUtf8(v_oRequest.value("title", "Confirmation")));
    auto *poLayout = new QVBoxLayout(&oDialog);
    auto *poText = new QLabel(QString::fromUtf8(v_oRequest.value("text")), &oDialog);
    poText->setTextFormat(Qt::PlainText);  // page text is never rendered as rich text
    poText->setWordWrap(true);
    poLayout->addWidget(poText);
    auto *poButtons = new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::No, &oDialog);
    poLayout->addWidget(poButtons);
    QObject::connect(poButtons->button(QDialogButtonBox::Yes), &QPushButton::clicked, &oDialog, &QDialog::accept);
    QObject::connect(poButtons->button(QDialogButtonBox::No), &QPushButton::clicked, &oDialog,
                     [&oDialog] { oDialog.done(kNo); });

    const int iResult = oDialog.exec();
    QJsonObject oReply;
    oReply.insert(QStringLiteral("answer"), iResult == QDialog::Accepted ? QStringLiteral("yes")
                                            : iResult == kNo            ? QStringLiteral("no")
                                                                        : QStringLiteral("cancelled"));
    return QJsonDocument(oReply).toJson(QJsonDocument::Compact);
}
