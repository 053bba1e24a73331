// The progress window of a batch of signatures: how many documents are
// signed, how many failed, and Cancel, which stops the batch before its next
// document (the one on the token finishes).

#include "qtsignerui.h"

#include <QCoreApplication>
#include <QLabel>
#include <QTimer>

namespace {

class BatchProgressDialog : public RequestDialog
{
    Q_DECLARE_TR_FUNCTIONS(SignerDialog)
public:
    BatchProgressDialog(const WebOrigin &v_oOrigin, BatchMonitor &v_oMonitor)
        : RequestDialog("progress", v_oOrigin, tr("Signing documents"), tr("Signing documents for:"))
        , m_oMonitor(v_oMonitor)
    {
        setReportOnly();
        m_poCount = addLabel(QString());
        // The signing thread only counts; the window reads the counters.
        connect(&m_oPoll, &QTimer::timeout, this, [this] { refresh(); });
        m_oPoll.start(100);
        refresh();
    }

private:
    void refresh()
    {
        const int iSigned = m_oMonitor.signedCount.load();
        const int iFailed = m_oMonitor.failedCount.load();
        const QString oText = tr("%1 of %2 signed, %3 not signed").arg(iSigned).arg(m_oMonitor.total).arg(iFailed);
        if (m_poCount->text() != oText) {
            m_poCount->setText(oText);
            m_poCount->setAccessibleName(oText);
        }
        if (m_oMonitor.finished.load())
            accept();
    }

    BatchMonitor &m_oMonitor;
    QLabel *m_poCount = nullptr;
    QTimer m_oPoll;
};

} // namespace

void runBatchProgressDialog(const WebOrigin &v_oOrigin, BatchMonitor &v_oMonitor)
{
    if (v_oMonitor.finished.load())
        return;
    BatchProgressDialog oDialog(v_oOrigin, v_oMonitor);
    if (oDialog.run() != Outcome::Accepted)
        v_oMonitor.cancel.store(true);
}
