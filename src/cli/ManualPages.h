#pragma once

#include <QString>

// The manual pages nimbrel(1) and nimbrel-cli(1), in roff, made from the options and commands the
// programs themselves parse.
namespace ManualPages {

QString app(const QString &version);
QString cli(const QString &version);

} // namespace ManualPages
