#pragma once

#include <QString>

// The heading of every message with which a run ends early, in the window and in a terminal.
inline const QString ConnectFailed = QStringLiteral("接続できませんでした。");

// What a run that ended early tells the user: the heading, a line feed, and the server's
// reply or the reason, which may be empty.
QString RunFailureText(const QString &reason);
