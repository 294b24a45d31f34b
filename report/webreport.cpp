#include "report/webreport.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>

#include "engine/shiftjis.h"
#include "report/articlereport.h"
#include "report/reportkeys.h"
#include "report/reporttexts.h"
#include "report/urlencoder.h"

extern char **environ;

QByteArray BuildReportUrl(const ReportFields &f)
{
    UrlEncoder encoder;
    encoder.InputString = ToShiftJis(f.name);

    // Only the name is encoded; everything else goes as the window shows it.
    std::array<QByteArray, ReportKeyCount> values;
    values[KeyName] = encoder.Encode();
    values[KeyType] = QByteArray::number(f.serverTypeIndex);
    values[KeyServer] = ToShiftJis(f.address);
    values[KeyPost] = f.postAllowed ? "1" : "0";
    values[KeyGroups] = ToShiftJis(f.groupCount);
    values[KeySpeed] = ToShiftJis(f.speed);
    for (int i = 0; i < HierarchyCount; ++i) {
        values[KeyFirstCount + i] = ToShiftJis(f.counts[i]);
        values[KeyFirstExpire + i] = ToShiftJis(f.expires[i]);
    }

    QByteArray url = ReportUrlBase.toByteArray();
    for (int key = 0; key < ReportKeyCount; ++key)
        url += (key == 0 ? "" : "&") + ReportKeyName(key) + '=' + values[key];
    if (f.articles)
        url += BuildArticleQuery(*f.articles);
    return url;
}

void OpenInBrowser(const QByteArray &url)
{
    // QProcess would turn the argument into UTF-8 text and spoil Shift-JIS bytes, so the
    // argument goes as raw argv. The shell starts xdg-open in the background and exits at
    // once: we reap the shell, and xdg-open, no longer our child, leaves no zombie.
    static constexpr char Script[] = "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &";
    char sh[] = "sh";
    char dashC[] = "-c";
    char script[sizeof Script];
    std::copy(std::begin(Script), std::end(Script), script);
    QByteArray argument = url; // argv wants char *, and a copy of our own to point into
    char *argv[] = {sh, dashC, script, sh, argument.data(), nullptr};

    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return;
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    const int failed = posix_spawn(&pid, "/bin/sh", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (failed)
        return;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
}

void SubmitWebReport(const ReportFields &f)
{
    OpenInBrowser(BuildReportUrl(f));
}
