#pragma once

// Streaming reader of a module's command file:
//
//   <commands>
//     <command name="page name" method="exported function">
//       <request><param>p1</param>...</request>
//       <response><param>r1</param>...</response>
//     </command>
//   </commands>
//
// One pass over the tokens, one reader per element kind; unknown elements are
// skipped whole at any depth. The element readers are virtual and call each other
// through the virtual slots, so a subclass can take over any element kind.
// One reader is used for one file; nothing clears the tables.

#include <QFile>
#include <QMap>
#include <QMultiMap>
#include <QString>
#include <QXmlStreamReader>

class CXmlReader
{
public:
    CXmlReader() = default;
    virtual ~CXmlReader() = default;
    CXmlReader(const CXmlReader &) = delete;
    CXmlReader &operator=(const CXmlReader &) = delete;

    // True when the file was opened and parsed without error. Entries added
    // before an error stay in the tables.
    // v_iFd: the file already opened (and checked) by the caller, which this
    // reader then owns; -1 to open v_oPath here.
    bool ReadFile(const QString &v_oPath, int v_iFd = -1);

    // Command name -> exported function name; a later duplicate replaces the method.
    const QMap<QString, QString> &GetCommands() const { return m_oCommands; }
    // Command name -> parameter name; values(name) gives the most recently declared first.
    const QMultiMap<QString, QString> &GetRequestParams() const { return m_oRequestParams; }
    const QMultiMap<QString, QString> &GetResponseParams() const { return m_oResponseParams; }

protected:
    // Each is entered on its start tag and returns after consuming its end tag
    // (the stream then stands on the following token).
    virtual void ReadCommandsElement();
    virtual void ReadCommandElement();
    virtual void ReadRequestElement(const QString &v_oCommandName);
    virtual void ReadResponseElement(const QString &v_oCommandName);
    virtual void ReadParamElement(const QString &v_oCommandName, bool v_bIsRequest);
    virtual void SkipUnknownElement();

    QXmlStreamReader m_oXmlReader;

private:
    enum class Element { Commands, Command, Request, Response, Unknown };
    // The loop shared by the container elements: children are dispatched by name.
    void ReadChildren(Element v_eElement, const QString &v_oCommandName);

    QMap<QString, QString> m_oCommands;
    QMultiMap<QString, QString> m_oRequestParams;
    QMultiMap<QString, QString> m_oResponseParams;
    QString m_oFilePath;
    QFile m_oFile;
    int m_iDepth = 0;
};
