#pragma once

// Buffers for secrets (the key pass phrase) that are overwritten with random
// bytes when their last handle goes, so the secret does not linger in freed
// memory.

#include <QByteArray>
#include <QExplicitlySharedDataPointer>
#include <QSharedData>
#include <QString>

#include <string>

class SecureObjectData : public QSharedData
{
public:
    // Copies the bytes and then overwrites the source array with random bytes.
    explicit SecureObjectData(QByteArray &v_oSource);
    ~SecureObjectData();
    SecureObjectData(const SecureObjectData &) = delete;
    SecureObjectData &operator=(const SecureObjectData &) = delete;

    const char *bytes() const { return m_pData; }
    int size() const { return m_iSize; }

private:
    void clean();

    QString m_oId;
    char *m_pData = nullptr; // m_iSize + 1 bytes, always zero-terminated
    int m_iSize = 0;
};

// Fills the buffer with bytes of the process-wide Mersenne-Twister generator.
void qtxOverwriteRandom(void *v_pBuffer, std::size_t v_uiSize);
// Overwrites the characters of a text in place (its storage is not shared afterwards).
void qtxOverwriteText(QString &v_oText);

class SecureObject
{
public:
    SecureObject() = default;
    explicit SecureObject(QByteArray &v_oSource);
    SecureObject(const SecureObject &) = default;
    SecureObject &operator=(const SecureObject &) = default;
    virtual ~SecureObject();

    virtual const char *data() const;
    virtual int size() const;
    virtual void release();

protected:
    void reset(QByteArray &v_oSource);

private:
    QExplicitlySharedDataPointer<SecureObjectData> m_poData;
};

class SecurePass : public SecureObject
{
public:
    SecurePass() = default;
    SecurePass(const QString &v_oText, const QByteArray &v_oCodecName);
    SecurePass(const SecurePass &) = default;
    SecurePass &operator=(const SecurePass &) = default;
    ~SecurePass() override;

    void release() override;
    // Extends the text to v_iLength with v_cFill; the old text is overwritten.
    virtual void resize(int v_iLength, QChar v_cFill);
    virtual int length() const;
    virtual QChar at(int v_iPosition) const;
    virtual bool isEmpty() const;
    virtual bool equals(const SecurePass &v_oOther) const;
    virtual bool notEquals(const SecurePass &v_oOther) const;
    // A copy with the text encoded again; throws UnsupportedCharsException when
    // the codec cannot encode it.
    virtual SecurePass copy() const;
    virtual std::string toStdString() const;
    // Replaces the text; the buffer stays empty when the codec cannot encode it.
    virtual void setText(const QString &v_oText);

    QByteArray codecName() const { return m_oCodecName; }

private:
    // The encoded text, or false when the codec cannot encode it.
    bool encode(const QString &v_oText, QByteArray &v_oBytes) const;

    QString m_oText;
    QByteArray m_oCodecName;
};
