#pragma once

#include <QString>

#include <array>
#include <optional>

#include "engine/articlesweep.h"

enum class ResultField;

// The texts of the main window that the reports read, as they stand, plus the run's
// posting flag. Hierarchies in the order ABPE, AS, JBPE, AFJ, ABME.
struct ReportFields
{
    QString name;
    QString serverTypeText;
    int serverTypeIndex = 0;
    QString address;
    QString postAllowedText;
    QString groupCount;
    QString speed;
    std::array<QString, 5> counts;
    std::array<QString, 5> expires;
    bool postAllowed = false;
    // The article figures, for a run that measured them, and the byte cap it had; the reports
    // add theirs only then.
    std::optional<ArticleSweepResult> articles;
    qint64 articleByteCap = 0;
};

// The text of a result field among the fields: where the window's result field of that name
// goes in the reports, and where the terminal keeps what the run shows.
QString &ResultText(ReportFields &fields, ResultField field);
const QString &ResultText(const ReportFields &fields, ResultField field);
