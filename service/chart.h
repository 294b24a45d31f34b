#pragma once

#include <QList>
#include <QString>

#include <utility>

#include "service/html.h"

// One line of a chart: (seconds since the epoch, value) in time order. Its colour is the
// stylesheet's class "s<index>".
struct ChartSeries
{
    QString label;
    QList<std::pair<qint64, double>> points;
};

// A line chart as inline SVG, drawn on the server so that no script is needed to see it.
// Texts inside are escaped; the axes start at zero.
Web::Markup LineChart(const QString &title, const QList<ChartSeries> &series);
