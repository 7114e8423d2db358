#pragma once

#include "app/translations.h"
#include "backend/backend.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

// The application window as main() makes it, around a Backend that outlives
// it: the module's Main loaded through its resource URL with the Backend as
// its required property and without the catalog the engine installs, its items found by object name and clicked with the
// mouse as a user would.
class AppWindow
{
public:
    explicit AppWindow(Backend &backend)
    {
        m_engine.setInitialProperties({{QStringLiteral("backend"), QVariant::fromValue(&backend)}});
        m_engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Tessaro/qml/Main.qml")));
        Translations::removeEngineCatalog(m_engine);
        if (!m_engine.rootObjects().isEmpty())
            m_window = qobject_cast<QQuickWindow *>(m_engine.rootObjects().constFirst());
        if (m_window && !QTest::qWaitForWindowExposed(m_window))
            m_window = nullptr;
    }

    // Null when the window could not be created or shown.
    QQuickWindow *window() const { return m_window; }

    template<typename T = QQuickItem>
    T *find(const QString &name) const
    {
        return m_window ? m_window->findChild<T *>(name) : nullptr;
    }

    // The delegates a positioner shows, in their order.
    QList<QQuickItem *> delegates(const QString &listName, const QString &delegateName) const
    {
        QList<QQuickItem *> result;
        if (QQuickItem *list = find(listName)) {
            for (QQuickItem *child : list->childItems()) {
                if (child->objectName() == delegateName)
                    result.append(child);
            }
        }
        return result;
    }

    // The delegate whose text is text, or null.
    QQuickItem *delegate(const QString &listName, const QString &delegateName, const QString &text) const
    {
        for (QQuickItem *item : delegates(listName, delegateName)) {
            if (item->property("text").toString() == text)
                return item;
        }
        return nullptr;
    }

    // A left click in the middle of item; false when a user could not click
    // it because it is hidden or disabled.
    bool click(QQuickItem *item) const
    {
        if (!m_window || !item || !item->isVisible() || !item->isEnabled())
            return false;
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, {}, centre.toPoint());
        return true;
    }
    bool click(const QString &name) const { return click(find(name)); }

    // The text an item shows, or a marker that cannot be mistaken for one.
    static QString text(const QQuickItem *item)
    {
        return item ? item->property("text").toString() : QStringLiteral("<missing>");
    }
    QString text(const QString &name) const { return text(find(name)); }

private:
    QQmlApplicationEngine m_engine;
    QQuickWindow *m_window = nullptr;
};
