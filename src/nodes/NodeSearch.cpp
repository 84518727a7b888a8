#include "NodeSearch.h"

namespace {

bool isLatin(char16_t c)
{
    return c < 0x250 || (c >= 0x1E00 && c < 0x1F00);
}

// Letters with no decomposition that a reader still sees as an accented letter.
QStringView plainLatin(char16_t c)
{
    switch (c) {
    case u'ß':
        return u"ss";
    case u'æ':
        return u"ae";
    case u'œ':
        return u"oe";
    case u'ø':
        return u"o";
    case u'ł':
        return u"l";
    case u'đ':
        return u"d";
    case u'ı':
        return u"i";
    case u'þ':
        return u"th";
    default:
        return {};
    }
}

} // namespace

QString NodeSearch::fold(QStringView text)
{
    QString folded;
    folded.reserve(text.size());
    bool afterLatin = false; // a combining accent after a Latin letter is dropped, after й's и it stays
    for (const QChar original : text) {
        QChar c = original.toLower();
        if (c.category() == QChar::Mark_NonSpacing) {
            if (!afterLatin)
                folded.append(c);
            continue;
        }
        afterLatin = isLatin(c.unicode());
        if (!afterLatin) {
            folded.append(c);
        } else if (const QStringView plain = plainLatin(c.unicode()); !plain.isEmpty()) {
            folded.append(plain);
        } else {
            // A composed Latin letter decomposes into its base letter first, its accents after.
            while (c.decompositionTag() == QChar::Canonical)
                c = c.decomposition().at(0);
            folded.append(c);
        }
    }
    return folded;
}

NodeSearch::NodeSearch(const NodeInfo &node)
    : m_name(fold(node.name))
    , m_country(fold(node.countryName))
    , m_code(node.countryCode.toLower())
{}

bool NodeSearch::matches(const QString &foldedQuery) const
{
    return foldedQuery.isEmpty() || m_name.contains(foldedQuery) || m_country.contains(foldedQuery) ||
           m_code == foldedQuery;
}
