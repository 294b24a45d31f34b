#pragma once

#include <QStringList>

// The benchmark from a terminal: a QCoreApplication, no window and no display. Returns the
// program's exit status.
int RunInTerminal(int argc, char **argv, const QStringList &arguments);
