#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <array>
#include <utility>

#include "engine/grouplist.h"
#include "report/reportkeys.h"

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
};

inline constexpr int MaxNameLength = 100;
// The most a real run can give: a list read at 10 Gbit/s, articles kept for 20 years. A
// report beyond them is made up, however well formed.
inline constexpr qint64 MaxSpeed = 1'250'000'000;
inline constexpr qint32 MaxExpireDays = 7305;

// A field that cannot be stored: its key (a ReportKey, or -1 for the form's own fields) and
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

// Reads and checks the sixteen fields, each against what the desktop program can send.
ReadResult ReadReport(const FormPairs &pairs, FormEncoding encoding);

// The values as text in key order, one per line: what a token signs and how a repeat is known.
QByteArray CanonicalText(const Report &r);

// The values as form fields for the confirmation page, keyed like the report address.
FormPairs FormFields(const Report &r);

// Case-folded host, port and TLS: one server however its address was typed.
QString ServerKey(const QString &server);

// The case-folded host alone: addresses sort by the host they show, whatever their scheme.
QString ServerHostKey(const QString &server);

// The user-facing name of a report field.
QString FieldLabel(int key);

// "alt.binaries.pictures.erotica.*" and the others, in the engine's order.
QString HierarchyName(int index);
