#pragma once

// The file logger: every Qt message of every thread is appended to the day's
// file "log-yyyyMMdd.txt" in the log folder, one line per message:
// "(D hh:mm:ss) text" for debug, W for warning, C for critical, F for fatal,
// "(hh:mm:ss) text" for any other type. Debug messages also go raw to stdout;
// a fatal message aborts the process once its line is written.
//
// Each line is written with a single append-mode write() and the file is
// closed again at once: no lock, no buffering, so concurrent threads interleave
// only at line boundaries and a crash loses no written line. Logs name devices
// and paths, so the folder is kept 0700 and the files 0600 whatever the umask.

#include <QString>
#include <QtGlobal>

// Remembers `dir` as the log folder, deletes the first (count - maxFiles) plain
// files of it in name order (the oldest days), and installs log_output.
void logsaver_install_msghandler(const QString& dir, int maxFiles);

// The installed handler.
void log_output(QtMsgType type, const QMessageLogContext& context, const QString& msg);

// The log folder given at installation ("" before).
QString logsaver_dir();
