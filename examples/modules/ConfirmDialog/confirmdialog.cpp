// ConfirmDialog: a GUI command. Confirm shows a modal dialog with the page's
// "text" (and optional "title") and answers which button the user pressed.
// When the server cancels the job it closes all top-level windows; exec() then
// returns Rejected and the answer is "cancelled".
//
// What the page sends stays inside one box that says it comes from the page,
// escaped to one line each (qtxDisplayText): it can neither add lines that
// look like the dialog's own nor reorder its characters. The window title and
// everything outside the box are the module's. Which page asks is shown by the
// server, in a band above the dialog's contents and in the window title.

#include "qtxdisplaytext.h"
#include "qtxmodule.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
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
    oDialog.setWindowTitle(QStringLiteral("Confirmation"));
    auto *poLayout = new QVBoxLayout(&oDialog);
    poLayout->addWidget(new QLabel(QStringLiteral("The page asks you to confirm:"), &oDialog));

    auto *poPageArea = new QGroupBox(QStringLiteral("Message from the page"), &oDialog);
    poPageArea->setAccessibleName(QStringLiteral("Message from the page"));
    auto *poPageLayout = new QVBoxLayout(poPageArea);
    const QString oTitle = qtxDisplayText(QString::fromUtf8(v_oRequest.value("title")), 80);
    if (!oTitle.isEmpty()) {
        auto *poTitle = new QLabel(oTitle, poPageArea);
        poTitle->setTextFormat(Qt::PlainText);
        poTitle->setAccessibleName(QStringLiteral("Title from the page"));
        QFont oBold = poTitle->font();
        oBold.setBold(true);
        poTitle->setFont(oBold);
        poPageLayout->addWidget(poTitle);
    }
    // One line, wrapped inside its box (anywhere: an unbroken run of characters
    // must not widen the dialog).
    auto *poText = new QPlainTextEdit(poPageArea);
    poText->setReadOnly(true);
    poText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    poText->setPlainText(qtxDisplayText(QString::fromUtf8(v_oRequest.value("text")), 1000));
    poText->setAccessibleName(QStringLiteral("Text from the page"));
    poText->setFocusPolicy(Qt::NoFocus);
    poText->setFixedHeight(poText->fontMetrics().lineSpacing() * 5 + 2 * poText->frameWidth() + 8);
    poText->setMinimumWidth(poText->fontMetrics().averageCharWidth() * 48);
    poPageLayout->addWidget(poText);
    poLayout->addWidget(poPageArea);

    auto *poButtons = new QDialogButtonBox(QDialogButtonBox::Yes | QDialogButtonBox::No, &oDialog);
    poLayout->addWidget(poButtons);
    // No default button: a held Enter meant for the page answers nothing.
    for (QAbstractButton *poButton : poButtons->buttons()) {
        if (auto *poPush = qobject_cast<QPushButton *>(poButton)) {
            poPush->setAutoDefault(false);
            poPush->setDefault(false);
        }
    }
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
