#ifndef HTTPTESTSUPPORT_H
#define HTTPTESTSUPPORT_H

// Helpers shared by the HTTP message tests: an in-memory socket stand-in, settings
// in a scratch INI file, and a feeding loop shaped like the connection handler's.

#include "httprequest.h"

#include <QByteArray>
#include <QIODevice>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariantMap>

#include <cstring>
#include <memory>

namespace httptest {

/// Sequential read-only device that hands out what was fed into it, like a socket.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly); }
    void feed(const QByteArray &v_oBytes)
    {
        m_oPending.append(v_oBytes);
        emit readyRead();
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_oPending.size() + QIODevice::bytesAvailable(); }
    bool canReadLine() const override { return m_oPending.contains('\n') || QIODevice::canReadLine(); }

protected:
    qint64 readData(char *v_pData, qint64 v_iMax) override
    {
        const qint64 iCount = qMin<qint64>(v_iMax, m_oPending.size());
        if (iCount <= 0)
            return 0;
        std::memcpy(v_pData, m_oPending.constData(), size_t(iCount));
        m_oPending.remove(0, int(iCount));
        return iCount;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_oPending;
};

/// A QSettings positioned on a group, backed by an INI file that lives as long as it.
class ScratchSettings
{
public:
    explicit ScratchSettings(const QString &v_oGroup, const QVariantMap &v_oValues = QVariantMap())
        : m_poSettings(new QSettings(m_oDir.filePath(QStringLiteral("test.ini")), QSettings::IniFormat))
    {
        m_poSettings->beginGroup(v_oGroup);
        for (auto it = v_oValues.constBegin(); it != v_oValues.constEnd(); ++it)
            m_poSettings->setValue(it.key(), it.value());
    }
    QSettings *get() const { return m_poSettings.get(); }

private:
    QTemporaryDir m_oDir;
    std::unique_ptr<QSettings> m_poSettings;
};

inline bool isFinal(norrweb::HttpRequest::RequestState v_eState)
{
    return v_eState == norrweb::HttpRequest::Complete || v_eState == norrweb::HttpRequest::Aborted;
}

/// Lets the request consume the device while it has bytes and the request is not finished.
inline void pump(norrweb::HttpRequest &v_oRequest, QIODevice &v_oDevice)
{
    int iGuard = 0;
    while (v_oDevice.bytesAvailable() > 0 && !isFinal(v_oRequest.getState()) && ++iGuard < 1000000)
        v_oRequest.consumeAvailable(&v_oDevice);
}

/// Feeds v_oRaw in slices of v_iSlice bytes (0: all at once), pumping after each slice.
inline void feedAll(norrweb::HttpRequest &v_oRequest, FeedDevice &v_oDevice, const QByteArray &v_oRaw,
                    int v_iSlice = 0)
{
    const int iSlice = v_iSlice > 0 ? v_iSlice : qMax(1, v_oRaw.size());
    for (int i = 0; i < v_oRaw.size(); i += iSlice) {
        v_oDevice.feed(v_oRaw.mid(i, iSlice));
        pump(v_oRequest, v_oDevice);
    }
}

/// A request parsed from v_oRaw with the given listener settings (null: defaults).
inline std::unique_ptr<norrweb::HttpRequest> parse(const QByteArray &v_oRaw, const QSettings *v_poSettings = nullptr,
                                                   int v_iSlice = 0)
{
    std::unique_ptr<norrweb::HttpRequest> poRequest(new norrweb::HttpRequest(v_poSettings));
    FeedDevice oDevice;
    feedAll(*poRequest, oDevice, v_oRaw, v_iSlice);
    return poRequest;
}

} // namespace httptest

#endif // HTTPTESTSUPPORT_H
