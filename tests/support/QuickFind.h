#pragma once

#include <QQuickItem>
#include <QQuickWindow>

// Finds an item by objectName in the visual tree (Repeater and Loader children included), the way a
// screen reader or a test driving the UI sees it.
inline QQuickItem *findItem(QQuickItem *root, const QString &objectName)
{
    if (!root)
        return nullptr;
    if (root->objectName() == objectName)
        return root;
    for (QQuickItem *child : root->childItems()) {
        if (QQuickItem *found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

inline QQuickItem *findItem(QQuickWindow *window, const QString &objectName)
{
    return window ? findItem(window->contentItem(), objectName) : nullptr;
}
