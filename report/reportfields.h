#pragma once

#include <QString>

#include <array>

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
};
