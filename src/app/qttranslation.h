#pragma once

#include <QCoreApplication>
#include <QQmlApplicationEngine>
#include <QTranslator>

// Removes the catalog of Qt's own texts that QQmlApplicationEngine installs
// for the system language (as its child) when it first loads; call after the
// load. Qt's texts reach the user only as the details inside Tessaro's
// messages (file and network errors), and those stay English in every
// language like the details of devices, archives and downloads: with Qt's
// catalog, a German system would show messages half in German and an Italian
// one Italian sentences with some details Italian and others English.
inline void removeQtTranslation(QQmlApplicationEngine &engine)
{
    for (QTranslator *translator : engine.findChildren<QTranslator *>(Qt::FindDirectChildrenOnly))
        QCoreApplication::removeTranslator(translator);
}
