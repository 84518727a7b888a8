#include "NetworkAccess.h"

#include <QNetworkAccessManager>

namespace NetworkAccess {

QNetworkAccessManager &shared()
{
    static QNetworkAccessManager *const manager = new QNetworkAccessManager();
    return *manager;
}

} // namespace NetworkAccess
