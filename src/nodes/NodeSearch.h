#pragma once

#include "api/NodeInfo.h"

#include <QString>
#include <QStringView>

// What a search for nodes compares: a node's name and country name, folded so that case and (for Latin
// letters) accents do not count, and its country code. A query matches a node when its folded text is
// found in the name or the country name, or equals the country code.
class NodeSearch {
public:
    // Lower case, with Latin letters stripped of their accents (é → e, ß → ss); other scripts keep their
    // letters as they are (й stays й).
    static QString fold(QStringView text);

    explicit NodeSearch(const NodeInfo &node);
    // query as fold returns it; an empty query matches every node.
    bool matches(const QString &foldedQuery) const;

private:
    QString m_name;
    QString m_country;
    QString m_code;
};
