#include "pdfpreview.h"

#include "signerui.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

namespace {

QString tr(const char *v_pText, int v_iCount = -1)
{
    return QCoreApplication::translate("SignerDialog", v_pText, nullptr, v_iCount);
}

QLabel *textLabel(const QString &v_oText, QWidget *v_poParent)
{
    auto *poLabel = new QLabel(v_oText, v_poParent);
    poLabel->setTextFormat(Qt::PlainText);
    poLabel->setWordWrap(true);
    return poLabel;
}

} // namespace

QWidget *pdfPreviewWidget(const ConsentRequest &v_oRequest, QWidget *v_poParent)
{
    auto *poBox = new QWidget(v_poParent);
    auto *poLayout = new QVBoxLayout(poBox);
    poLayout->setContentsMargins(0, 0, 0, 0);
    poLayout->addWidget(textLabel(tr("%n page(s); the signature goes on page %1.", v_oRequest.pdfPageCount)
                                      .arg(v_oRequest.pdfSignaturePage + 1),
                                  poBox));
    if (v_oRequest.pdfPreview.isNull()) {
        poLayout->addWidget(textLabel(tr("No preview: this page cannot be drawn."), poBox));
        return poBox;
    }
    QImage oImage = v_oRequest.pdfPreview.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRectF oBox = v_oRequest.pdfBox.intersected(QRectF(QPointF(0, 0), QSizeF(oImage.size())));
    if (!oBox.isEmpty()) {
        QPainter oPainter(&oImage);
        oPainter.setPen(QPen(QColor(200, 0, 0), 2));
        oPainter.setBrush(QColor(200, 0, 0, 40));
        oPainter.drawRect(oBox);
    }
    auto *poPreview = new QLabel(poBox);
    poPreview->setPixmap(QPixmap::fromImage(oImage));
    poPreview->setFrameShape(QFrame::Box);
    poPreview->setAccessibleName(tr("Preview of page %1").arg(v_oRequest.pdfSignaturePage + 1));
    // What the test hook reads of a picture.
    poPreview->setProperty("plainText", QStringLiteral("preview=%1x%2 box=%3,%4,%5,%6")
                                            .arg(oImage.width())
                                            .arg(oImage.height())
                                            .arg(qRound(oBox.x()))
                                            .arg(qRound(oBox.y()))
                                            .arg(qRound(oBox.width()))
                                            .arg(qRound(oBox.height())));
    poLayout->addWidget(poPreview, 0, Qt::AlignHCenter);
    return poBox;
}
