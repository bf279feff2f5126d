#pragma once

#include <QDBusConnection>
#include <QStringList>

// The command line for scripts and terminals: list, unlock, lock and open, answered by the running
// instance (started when none runs; `list` reads the vaults itself then). Exit status 0 on
// success, 1 with the message on standard error otherwise, 2 for a wrong command line.
namespace CommandLine {

// The commands as --help lists them.
[[nodiscard]] QString usage();

// Whether the arguments (argv, program first) name a command rather than a window to open.
[[nodiscard]] bool isCommand(const QStringList &arguments);
int run(int argc, char *argv[]);

// Asks the instance that owns the name to show a window ("" for the main one). False when none
// answered.
bool activateRunning(QDBusConnection bus, const QString &window);

} // namespace CommandLine
