#pragma once

#include "app/AppOptions.h"

#include <QString>
#include <QStringList>

#include <optional>

// One invocation of the command-line client: the command, its operands and flags, and the options it
// shares with the app (preference file, service address, demo).
struct CliRequest {
    QString command;
    QStringList operands;
    bool json = false;
    bool refresh = false; // nodes: probe every node before listing
    bool all = false;     // ping: every listed node
    bool follow = false;  // status: print again at every change of the tunnel until interrupted
    bool pick = false;    // ping: then select the fastest probed
    bool fastest = false; // connect: to the fastest node
    std::optional<QString> nickname;
    AppOptions shared;

    // arguments include the program name first.
    static struct CliParseResult parse(const QStringList &arguments, const QProcessEnvironment &environment);
    static QString usage();
};

struct CliParseResult {
    std::optional<CliRequest> request; // none: bad usage (error) or a help/version answer (output)
    QString error;
    QString output;
};
