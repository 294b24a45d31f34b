#pragma once

#include <QString>
#include <QStringList>

#include "engine/articlesweep.h"

enum class OutputFormat { Text, Json, Url };

// One run from the terminal: the window's inputs, as its fields would hold them.
struct RunRequest
{
    QString address;
    QString name;
    int serverType = 0;
    bool useAuthentication = false;
    QString user;
    QString password;
    OutputFormat format = OutputFormat::Text;
    // The article speed measurement (--articles) and its limits.
    bool articles = false;
    int connections = ArticleSweepSettings::DefaultMaxConnections;
    int articleSeconds = ArticleSweepSettings::DefaultStepMs / 1000;
    qint64 articleCap = ArticleSweepSettings::DefaultByteCap;
};

struct CommandLine
{
    enum Action { Run, Help, Version, UsageError };
    Action action = UsageError;
    RunRequest request;
    QString error;
};

// True when the arguments ask for the terminal face rather than the window: any long option
// or -h. Qt's own window options (-platform, -style) still reach the window.
bool WantsTerminal(const QStringList &arguments);

// Reads the arguments after the program name. The password comes from the file that
// --password-file names, from standard input, or from NEWSBENCH_PASSWORD; an option that
// tries to carry it on the command line is a usage error.
CommandLine ParseCommandLine(const QStringList &arguments);
