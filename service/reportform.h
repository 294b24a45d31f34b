#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <utility>

#include "engine/grouplist.h"
#include "report/articlereport.h"
#include "report/reportkeys.h"

// The article speed measurement as the report address carries it, for the runs that made one.
struct ArticleFigures
{
    qint64 speed = 0; // bytes per second of the fastest complete step
    qint32 connections = 0; // its connections; 0 when no step completed
    qint32 knee = 0; // 0: the speed grew to the last step
    qint32 accepted = 0;
    bool moreRefused = false;
    qint64 greetingMs = -1;
    qint64 statMs = -1;
    qint64 asked = 0;
    qint64 found = 0;
    qint64 bytes = 0;
    QByteArray end; // an ArticleEndName
    QList<std::pair<qint32, qint64>> steps; // connections and bytes per second, complete steps

    // Not measured at all: nothing to rank or chart.
    bool measured() const { return connections > 0; }
    bool operator==(const ArticleFigures &) const = default;
};

// One run's results as the report address carries them, checked.
struct Report
{
    QString name;
    int type = 0;
    QString server;
    bool post = false;
    qint32 groups = 0;
    qint64 speed = 0;
    std::array<qint32, HierarchyCount> counts{};
    std::array<qint32, HierarchyCount> expires{};
    std::optional<ArticleFigures> article; // only when the run measured article speed
};

inline constexpr int MaxNameLength = 100;
// The most a real run can give: a list read at 10 Gbit/s, articles kept for 20 years. A
// report beyond them is made up, however well formed.
inline constexpr qint64 MaxSpeed = 1'250'000'000;
inline constexpr qint32 MaxExpireDays = 7305;
// The article measurement's bounds: the program's own limit of connections, a reply within
// ten minutes, a terabyte downloaded; the steps 1, 2, 4, … 32, 50.
inline constexpr qint32 MaxArticleConnections = ArticleSweepSettings::MaxConnectionsLimit;
inline constexpr qint64 MaxReplyMs = 600'000;
inline constexpr qint64 MaxArticleBytes = 1'000'000'000'000;
inline constexpr int MaxArticleSteps = 7;

// The field numbers of the article keys: after the sixteen, in ArticleReportKey order.
inline constexpr int FirstArticleField = ReportKeyCount;
inline constexpr int AllFieldCount = int(ReportKeyCount) + int(ArticleReportKeyCount);

// A field that cannot be stored: its key (a ReportKey, FirstArticleField + an ArticleReportKey,
// or -1 for the form's own fields) and
// why, for the user.
struct FieldError
{
    int key = -1;
    QString field;
    QString reason;
};

// How the texts of the name and the address arrive: the report address carries the
// program's Shift-JIS bytes, the confirmation page's form sends UTF-8.
enum class FormEncoding { ShiftJis, Utf8 };

struct ReadResult
{
    Report report;
    QList<FieldError> errors;
    QByteArray token; // the form's token field, when there is one
};

using FormPairs = QList<std::pair<QByteArray, QByteArray>>;

// "a=b&c=d" with "+" for a blank and %XX escapes; a key without "=" has an empty value.
FormPairs SplitForm(QByteArrayView text);

// Reads and checks the sixteen fields, each against what the desktop program can send, and
// the article keys: all of them or none.
ReadResult ReadReport(const FormPairs &pairs, FormEncoding encoding);

// The values as text in key order, one per line: what a token signs and how a repeat is known.
QByteArray CanonicalText(const Report &r);

// The values as form fields for the confirmation page, keyed like the report address.
FormPairs FormFields(const Report &r);

// Case-folded host, port and TLS: one server however its address was typed.
QString ServerKey(const QString &server);

// The case-folded host alone: addresses sort by the host they show, whatever their scheme.
QString ServerHostKey(const QString &server);

// The user-facing name of a report field, and its query key.
QString FieldLabel(int key);
QByteArray FieldKey(int key);

// "1:123456,2:234567": the article steps as the address carries them.
QByteArray StepsText(const QList<std::pair<qint32, qint64>> &steps);

// "alt.binaries.pictures.erotica.*" and the others, in the engine's order.
QString HierarchyName(int index);
