#pragma once

#include "AppLanguage.h"

#include <QHash>
#include <QString>
#include <QStringList>

// The four compiled-in string tables. Built once on first use (thread-safe), read-only afterwards.
namespace StringTables {

const QHash<QString, QString> &table(AppLanguage language);
// Every key, in the order the tables list them.
const QStringList &keys();

} // namespace StringTables
