#pragma once

// Where the command line gets a backup password from, never from its own
// arguments (they show up in process listings and shell history).

#include <QString>
#include <optional>

enum class PasswordOrigin { File, Environment, Terminal, None };

struct PasswordResult {
    PasswordOrigin origin = PasswordOrigin::None;
    QString password;
    QString error; // set when a source was named but could not be read
};

// In order: the file named by passwordFile (when not empty), the variable
// VEXLAR_BACKUP_PASSWORD, a prompt without echo when standard input is a
// terminal. With allowPrompt false the terminal is not asked.
PasswordResult obtainPassword(const QString& passwordFile, bool allowPrompt);

// The content of a password file: its first line, without the line end.
std::optional<QString> readPasswordFile(const QString& path, QString* error);
