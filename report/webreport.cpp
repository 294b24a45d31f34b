#include "report/webreport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>

#include "engine/shiftjis.h"
#include "report/reporttexts.h"
#include "report/urlencoder.h"

extern char **environ;

QByteArray BuildReportUrl(const ReportFields &f)
{
    UrlEncoder encoder;
    encoder.InputString = ToShiftJis(f.name);

    QByteArray url = ReportUrlBase.toByteArray();
    url += "Name=" + encoder.Encode();
    url += "&Type=" + QByteArray::number(f.serverTypeIndex);
    url += "&Server=" + ToShiftJis(f.address);
    url += QByteArray("&Post=") + (f.postAllowed ? "1" : "0");
    url += "&Groups=" + ToShiftJis(f.groupCount);
    url += "&Speed=" + ToShiftJis(f.speed);
    auto key = [](int i) {
        return QByteArray(HierarchyKeys[i].data(), qsizetype(HierarchyKeys[i].size()));
    };
    for (int i = 0; i < HierarchyCount; ++i)
        url += "&Count" + key(i) + '=' + ToShiftJis(f.counts[i]);
    for (int i = 0; i < HierarchyCount; ++i)
        url += "&Expire" + key(i) + '=' + ToShiftJis(f.expires[i]);
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
