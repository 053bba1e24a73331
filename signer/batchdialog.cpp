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
        , m_monitor(v_oMonitor)
    {
        setReportOnly();
        m_count = addLabel(QString());
        // The signing thread only counts; the window reads the counters.
        connect(&m_poll, &QTimer::timeout, this, [this] { refresh(); });
        m_poll.start(100);
        refresh();
    }

private:
    void refresh()
    {
        const int iSigned = m_monitor.signedCount.load();
        const int iFailed = m_monitor.failedCount.load();
        const QString oText = tr("%1 of %2 signed, %3 not signed").arg(iSigned).arg(m_monitor.total).arg(iFailed);
        if (m_count->text() != oText) {
            m_count->setText(oText);
            m_count->setAccessibleName(oText);
        }
        if (m_monitor.finished.load())
            accept();
    }

    BatchMonitor &m_monitor;
    QLabel *m_count = nullptr;
    QTimer m_poll;
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
