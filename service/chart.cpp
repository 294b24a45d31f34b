#include "service/chart.h"

#include <QDateTime>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "service/html.h"

namespace {

constexpr double Width = 640, Height = 240;
constexpr double Left = 64, Right = 16, Top = 12, Bottom = 36;

// 1, 2 or 5 times a power of ten, at least `raw`.
double NiceStep(double raw)
{
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw)
            return m * power;
    }
    return 10 * power;
}

using Web::Markup;

Markup Short(double value)
{
    if (value >= 1e9)
        return Web::escape(QString::number(value / 1e9, 'g', 3) + u'G');
    if (value >= 1e6)
        return Web::escape(QString::number(value / 1e6, 'g', 3) + u'M');
    if (value >= 1e4)
        return Web::escape(QString::number(value / 1e3, 'g', 3) + u'k');
    return Web::escape(QString::number(value, 'g', 6));
}

Markup Number(double v)
{
    return Web::escape(QString::number(v, 'f', 1));
}

// The frame, the horizontal grid and its labels, from zero to a round value over `highest`.
// Gives the function from a value to its y.
Markup ValueAxis(const QString &title, double highest, std::function<double(double)> *y)
{
    const double step = NiceStep(std::max(highest, 1.0) / 4);
    const double top = step * std::ceil(std::max(highest, 1.0) / step);
    const double plotH = Height - Top - Bottom;
    *y = [top, plotH](double v) {
        return Top + plotH * (1 - v / top);
    };
    Markup svg
        = Markup(u"<svg class=\"chart\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"%3\">"
                 u"<title>%3</title>")
              .arg(Number(Width), Number(Height), Web::escape(title));
    for (double v = 0; v <= top + step / 2; v += step) {
        svg += Markup(u"<line class=\"grid\" x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\"/>")
                   .arg(Number(Left), Number(Width - Right), Number((*y)(v)));
        svg += Markup(u"<text class=\"ylabel\" x=\"%1\" y=\"%2\">%3</text>")
                   .arg(Number(Left - 6), Number((*y)(v) + 4), Short(v));
    }
    return svg;
}

} // namespace

Markup StepChart(const QString &title, const QString &unit,
                 const QList<std::pair<qint32, qint64>> &steps)
{
    if (steps.isEmpty())
        return Markup();
    double highest = 0;
    for (const auto &[connections, bps] : steps)
        highest = std::max(highest, double(bps));
    std::function<double(double)> y;
    Markup svg = ValueAxis(title, highest, &y);
    const double plotW = Width - Left - Right;
    // Half a step of room on either side, so that the first and last labels fit.
    const double low = std::log2(double(steps.first().first)) - 0.5;
    const double high = std::log2(double(steps.last().first)) + 0.5;
    auto x = [&](qint32 connections) {
        return Left + plotW * (std::log2(double(connections)) - low) / (high - low);
    };
    Markup points;
    for (const auto &[connections, bps] : steps) {
        if (!points.isEmpty())
            points += u" ";
        points += Number(x(connections)) + u"," + Number(y(double(bps)));
        svg += Markup(u"<text class=\"xlabel\" x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>")
                   .arg(Number(x(connections)), Number(Height - 12), Web::number(connections));
    }
    svg += Markup(u"<g class=\"s0\"><title>%1</title><polyline points=\"%2\"/>")
               .arg(Web::escape(unit), points);
    for (const auto &[connections, bps] : steps)
        svg += Markup(u"<circle cx=\"%1\" cy=\"%2\" r=\"3\"><title>%3</title></circle>")
                   .arg(Number(x(connections)), Number(y(double(bps))),
                        Web::escape(QString::number(connections) + u": "_s + QString::number(bps)
                                    + u' ' + unit));
    svg += u"</g></svg>";
    return svg;
}

Markup LineChart(const QString &title, const QList<ChartSeries> &series)
{
    qint64 first = std::numeric_limits<qint64>::max(), last = std::numeric_limits<qint64>::min();
    double top = 0;
    for (const ChartSeries &s : series) {
        for (const auto &[t, v] : s.points) {
            first = std::min(first, t);
            last = std::max(last, t);
            top = std::max(top, v);
        }
    }
    if (first > last)
        return Markup();
    const qint64 span = std::max<qint64>(last - first, 1);
    const double plotW = Width - Left - Right;
    // One report is one point, in the middle.
    auto x = [&](qint64 t) {
        return first == last ? Left + plotW / 2 : Left + plotW * double(t - first) / double(span);
    };
    std::function<double(double)> y;
    Markup svg = ValueAxis(title, top, &y);
    const QTimeZone japan = QTimeZone(9 * 3600);
    const bool oneDay = span < 2 * 86400;
    const QList<qint64> ticks
        = first == last ? QList<qint64>{first} : QList<qint64>{first, first + span / 2, last};
    for (const qint64 t : ticks) {
        const QDateTime when = QDateTime::fromSecsSinceEpoch(t, japan);
        const Markup anchor = first == last ? Markup(u"middle")
            : t == first                    ? Markup(u"start")
            : t == last                     ? Markup(u"end")
                                            : Markup(u"middle");
        svg += Markup(u"<text class=\"xlabel\" x=\"%1\" y=\"%2\" text-anchor=\"%3\">%4</text>")
                   .arg(Number(x(t)), Number(Height - 12), anchor,
                        Web::escape(when.toString(oneDay ? u"MM/dd HH:mm"_s : u"yyyy/MM/dd"_s)));
    }
    for (qsizetype i = 0; i < series.size(); ++i) {
        Markup points;
        for (const auto &[t, v] : series[i].points) {
            if (!points.isEmpty())
                points += u" ";
            points += Number(x(t)) + u"," + Number(y(v));
        }
        svg += Markup(u"<g class=\"s%1\"><title>%2</title><polyline points=\"%3\"/>")
                   .arg(Web::number(i), Web::escape(series[i].label), points);
        for (const auto &[t, v] : series[i].points)
            svg += Markup(u"<circle cx=\"%1\" cy=\"%2\" r=\"3\"/>").arg(Number(x(t)), Number(y(v)));
        svg += u"</g>";
    }
    svg += u"</svg>";
    return svg;
}
