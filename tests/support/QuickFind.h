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

// Searches from the window's root item, so open popups (menus, tooltips) are found too.
inline QQuickItem *findItem(QQuickWindow *window, const QString &objectName)
{
    if (!window)
        return nullptr;
    QQuickItem *root = window->contentItem();
    while (root->parentItem())
        root = root->parentItem();
    return findItem(root, objectName);
}
