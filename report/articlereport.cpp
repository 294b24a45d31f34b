#include "report/articlereport.h"

#include <QJsonArray>
#include <QLocale>
#include <QStringBuilder>

#include "report/reporttexts.h"
#include "report/textreport.h"

namespace {

constexpr QStringView HeadingArticles = u"記事のダウンロード速度";
constexpr QStringView LabelBest = u"記事の速度（最大） : ";
constexpr QStringView LabelStep = u"  ";
constexpr QStringView LabelKnee = u"速度が伸びなくなる接続数 : ";
constexpr QStringView LabelLimit = u"接続数の上限 : ";
constexpr QStringView LabelAccepted = u"受け付けた接続数 : ";
constexpr QStringView LabelGreeting = u"接続から応答まで : ";
constexpr QStringView LabelStat = u"STAT の応答時間 : ";
constexpr QStringView LabelArticles = u"記事の有無 : ";
constexpr QStringView LabelEnd = u"計測の終わり : ";
constexpr QStringView ConnectionsSuffix = u" 接続";
constexpr QStringView MsSuffix = u" ms";
constexpr QStringView NoneText = u"なし";
constexpr QStringView UnmeasuredText = u"-";
constexpr QStringView CutShortText = u"（途中まで）";

QString endText(const ArticleSweepResult &result, qint64 byteCap)
{
    switch (result.end) {
    case SweepEnd::Maximum:
        return QStringLiteral("最大の接続数まで計測しました");
    case SweepEnd::Knee:
        return QStringLiteral("接続数を増やしても速くならなくなりました");
    case SweepEnd::Refused:
        return QStringLiteral("サーバがそれ以上の接続を拒否しました");
    case SweepEnd::ByteCap:
        return QStringLiteral("ダウンロード量の上限（%1 バイト）に達しました")
            .arg(QLocale(QLocale::English, QLocale::UnitedStates).toString(byteCap));
    case SweepEnd::Stopped:
        return QStringLiteral("中止しました");
    case SweepEnd::ConnectionLost:
        return QStringLiteral("サーバが接続を切りました");
    case SweepEnd::NoArticles:
        return QStringLiteral("読める記事がありませんでした");
    case SweepEnd::Failed:
        break;
    }
    return QStringLiteral("計測できませんでした");
}

QString kbps(qint64 bytesPerSecond)
{
    return SpeedInKbps(QString::number(bytesPerSecond));
}

QString ms(qint64 us)
{
    return us < 0 ? UnmeasuredText.toString() : QString::number(RoundedMs(us)) % MsSuffix;
}

} // namespace

qint64 RoundedMs(qint64 us)
{
    return us < 0 ? -1 : (us + 500) / 1000;
}

QByteArray ArticleEndName(SweepEnd end)
{
    switch (end) {
    case SweepEnd::Maximum:
        return "maximum";
    case SweepEnd::Knee:
        return "knee";
    case SweepEnd::Refused:
        return "refused";
    case SweepEnd::ByteCap:
        return "cap";
    case SweepEnd::Stopped:
        return "stopped";
    case SweepEnd::ConnectionLost:
        return "lost";
    case SweepEnd::NoArticles:
        return "noArticles";
    case SweepEnd::Failed:
        break;
    }
    return "failed";
}

QByteArray BuildArticleQuery(const ArticleSweepResult &result)
{
    // Only the complete steps: the ones the best and the knee are chosen from.
    QByteArray steps;
    for (const ArticleStep &step : result.steps) {
        if (!step.complete)
            continue;
        if (!steps.isEmpty())
            steps += ',';
        steps
            += QByteArray::number(step.connections) + ':' + QByteArray::number(step.bytesPerSecond);
    }
    const std::array<QByteArray, ArticleReportKeyCount> values = {
        QByteArray::number(result.bestBytesPerSecond),
        QByteArray::number(result.bestConnections),
        QByteArray::number(result.knee),
        QByteArray::number(result.acceptedConnections),
        result.refusedMore ? "1" : "0",
        QByteArray::number(RoundedMs(result.greetingUs)),
        QByteArray::number(RoundedMs(result.statUs)),
        QByteArray::number(result.articlesAsked),
        QByteArray::number(result.articlesFound),
        QByteArray::number(result.totalBytes),
        ArticleEndName(result.end),
        steps,
    };
    QByteArray query;
    for (int k = 0; k < ArticleReportKeyCount; ++k) {
        query += '&';
        query.append(ArticleReportKeys[k].data(), qsizetype(ArticleReportKeys[k].size()));
        query += '=' + values[k];
    }
    return query;
}

QStringList BuildArticleReportLines(const ArticleSweepResult &result, qint64 byteCap)
{
    QStringList lines;
    lines << QString() << HeadingArticles.toString() << ReportRule.toString();
    if (result.bestConnections > 0)
        lines << LabelBest % kbps(result.bestBytesPerSecond) % u"（"
                % QString::number(result.bestConnections) % ConnectionsSuffix % u"）";
    else
        lines << LabelBest % UnmeasuredText;
    for (const ArticleStep &step : result.steps) {
        lines << LabelStep % QString::number(step.connections) % ConnectionsSuffix % u" : "
                % kbps(step.bytesPerSecond) % (step.complete ? QString() : CutShortText.toString());
    }
    lines << LabelKnee
            % (result.knee > 0 ? QString::number(result.knee) % ConnectionsSuffix
                               : NoneText.toString());
    if (result.refusedMore)
        lines << LabelLimit % QString::number(result.acceptedConnections) % ConnectionsSuffix;
    else
        lines << LabelAccepted % QString::number(result.acceptedConnections) % ConnectionsSuffix;
    lines << LabelGreeting % ms(result.greetingUs) << LabelStat % ms(result.statUs);
    lines << LabelArticles % QString::number(result.articlesFound) % u" / "
            % QString::number(result.articlesAsked);
    lines << LabelEnd % endText(result, byteCap);
    return lines;
}

QJsonObject BuildArticleJson(const ArticleSweepResult &result)
{
    QJsonArray steps;
    for (const ArticleStep &step : result.steps) {
        steps.append(QJsonObject{
            {QStringLiteral("connections"), step.connections},
            {QStringLiteral("bytes"), step.bytes},
            {QStringLiteral("elapsedUs"), step.elapsedUs},
            {QStringLiteral("bytesPerSecond"), step.bytesPerSecond},
            {QStringLiteral("complete"), step.complete},
        });
    }
    auto orNull = [](qint64 value) {
        return value < 0 ? QJsonValue() : QJsonValue(value);
    };
    return QJsonObject{
        {QStringLiteral("steps"), steps},
        {QStringLiteral("bestBytesPerSecond"), result.bestBytesPerSecond},
        {QStringLiteral("bestConnections"), result.bestConnections},
        {QStringLiteral("knee"), result.knee > 0 ? QJsonValue(result.knee) : QJsonValue()},
        {QStringLiteral("acceptedConnections"), result.acceptedConnections},
        {QStringLiteral("refusedMore"), result.refusedMore},
        {QStringLiteral("greetingUs"), orNull(result.greetingUs)},
        {QStringLiteral("statUs"), orNull(result.statUs)},
        {QStringLiteral("articlesAsked"), result.articlesAsked},
        {QStringLiteral("articlesFound"), result.articlesFound},
        {QStringLiteral("totalBytes"), result.totalBytes},
        {QStringLiteral("stoppedByCap"), result.stoppedByCap},
        {QStringLiteral("stoppedByUser"), result.stoppedByUser},
        {QStringLiteral("end"), QString::fromLatin1(ArticleEndName(result.end))},
    };
}
