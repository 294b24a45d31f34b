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

// Bytes per second against connections, one point a step, connections ascending: the steps
// double, so the connections lie on a log scale, each step's own value under its point.
Web::Markup StepChart(const QString &title, const QString &unit,
                      const QList<std::pair<qint32, qint64>> &steps);
