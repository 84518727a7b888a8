#pragma once

#include <QString>

#include <optional>

#include <sys/types.h>

namespace FileTrust {

// True only for a regular file (not a link, FIFO or folder) owned by owner that neither its group nor
// others may write: the only kind of script in a shared folder such as /tmp worth running as root.
bool isTrustedScript(const QString &path, uid_t owner);

// The canonical absolute path of a program that only root and user can change: the file (after
// links) is a regular file owned by root or user that neither group nor others may write, and so is
// every folder above it, except that a root-owned folder with the sticky bit (such as /tmp) may be
// writable by all, since nobody else can replace the user's file there. None otherwise, or when the
// path does not exist. A relative path is taken from base.
std::optional<QString> trustedProgram(const QString &path, uid_t user, const QString &base = QString());

// Whether folder and every folder above it is owned by root and writable by root alone (a missing
// folder counts by its nearest existing ancestor): a place whose contents only root can change.
bool isRootOnlyFolder(const QString &folder);

// The SHA-256 (hex) of the regular file at path, read without following a link; empty when unreadable.
QString sha256Of(const QString &path);

// Who owns what is at path itself (a link is not followed); none when nothing is there.
std::optional<uid_t> ownerOf(const QString &path);

// Whether path is a folder (not a link to one) owned by user that neither its group nor others may
// write: a place where nobody else can put or replace a file.
bool isPrivateFolder(const QString &path, uid_t user);

} // namespace FileTrust
