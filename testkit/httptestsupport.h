#ifndef HTTPTESTSUPPORT_H
#define HTTPTESTSUPPORT_H

// Shared by the HTTP and job tests: a socket stand-in, settings in a scratch
// INI file, and a feeding loop like the connection handler's.

#include "httprequest.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QVariantMap>

#include <cstring>
#include <memory>

namespace httptest {

/// Sequential read-only device that hands out what was fed into it.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly); }
    void feed(const QByteArray &v_oBytes) { m_oPending.append(v_oBytes); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_oPending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return m_oPending.contains('\n') || QIODevice::canReadLine(); }

protected:
    qint64 readData(char *v_pData, qint64 v_iMax) override
    {
        const int iCount = int(qMin<qint64>(v_iMax, m_oPending.size()));
        if (iCount <= 0)
            return 0; // QIODevice may pass a null buffer for a zero-length read
        std::memcpy(v_pData, m_oPending.constData(), size_t(iCount));
        m_oPending.remove(0, iCount);
        return iCount;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_oPending;
};

/// A QSettings on a group, backed by an INI file that lives as long as it.
class ScratchSettings
{
public:
    explicit ScratchSettings(const QString &v_oGroup, const QVariantMap &v_oValues = QVariantMap())
        : m_oSettings(m_oDir.filePath(QStringLiteral("test.ini")), QSettings::IniFormat)
    {
        m_oSettings.beginGroup(v_oGroup);
        for (auto it = v_oValues.constBegin(); it != v_oValues.constEnd(); ++it)
            m_oSettings.setValue(it.key(), it.value());
    }
    QSettings *get() { return &m_oSettings; }

private:
    QTemporaryDir m_oDir;
    QSettings m_oSettings;
};

/// Feeds v_oRaw in slices of v_iSlice bytes (0: at once); after each slice the request
/// consumes while it makes progress and is neither complete nor aborted.
inline void feedAll(norrweb::HttpRequest &v_oRequest, FeedDevice &v_oDevice, const QByteArray &v_oRaw,
                    int v_iSlice = 0)
{
    using R = norrweb::HttpRequest;
    const int iSlice = v_iSlice > 0 ? v_iSlice : qMax(1, v_oRaw.size());
    for (int i = 0; i < v_oRaw.size(); i += iSlice) {
        v_oDevice.feed(v_oRaw.mid(i, iSlice));
        for (qint64 iLeft = -1; v_oDevice.bytesAvailable() > 0 && v_oDevice.bytesAvailable() != iLeft
                                && v_oRequest.getState() != R::Complete && v_oRequest.getState() != R::Aborted;) {
            iLeft = v_oDevice.bytesAvailable();
            v_oRequest.consumeAvailable(&v_oDevice);
        }
    }
}

/// A request parsed from v_oRaw with the given limits.
inline std::unique_ptr<norrweb::HttpRequest> parse(const QByteArray &v_oRaw, const norrweb::HttpLimits &v_oLimits,
                                                   int v_iSlice = 0)
{
    std::unique_ptr<norrweb::HttpRequest> poRequest(new norrweb::HttpRequest(v_oLimits));
    FeedDevice oDevice;
    feedAll(*poRequest, oDevice, v_oRaw, v_iSlice);
    return poRequest;
}

/// The same with the given listener settings (null: defaults).
inline std::unique_ptr<norrweb::HttpRequest> parse(const QByteArray &v_oRaw, const QSettings *v_poSettings = nullptr,
                                                   int v_iSlice = 0)
{
    return parse(v_oRaw, norrweb::HttpLimits::fromSettings(v_poSettings), v_iSlice);
}

} // namespace httptest

#endif // HTTPTESTSUPPORT_H
