#ifndef FAULTSUPPORT_H
#define FAULTSUPPORT_H

#include <QFile>
#include <QStringList>
#include <QtGlobal>

#include <algorithm>

// What the fault tests share: the plugin's warnings as they are logged, and
// whole-file reads and writes.
namespace FaultSupport {

inline QStringList &warnings()
{
    static QStringList list;
    return list;
}

inline QtMessageHandler &previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

// Records every warning of the plugin's category; passes all but debug
// output on to the previous handler.
inline void recordWarnings()
{
    previousHandler() =
            qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (type == QtWarningMsg && qstrcmp(context.category, "TavroEnergy") == 0)
                    warnings().append(message);
                if (type != QtDebugMsg)
                    previousHandler()(type, context, message);
            });
}

inline void stopRecording()
{
    qInstallMessageHandler(previousHandler());
}

inline int warningsContaining(const QString &text)
{
    return static_cast<int>(std::count_if(warnings().cbegin(), warnings().cend(),
                                          [&text](const QString &warning) { return warning.contains(text); }));
}

inline QByteArray fileContent(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString &fileName, const QByteArray &content)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

}

#endif // FAULTSUPPORT_H
