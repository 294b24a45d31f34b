#pragma once

#include <QString>

// The report service's own texts, as its pages show them.
namespace ServiceTexts {

inline const QString SiteTitle = QStringLiteral(u"ニュースサーバ・ランキング");
inline const QString NavRanking = QStringLiteral(u"ランキング");
inline const QString NavAbout = QStringLiteral(u"newsbench について");
inline const QString Footer = QStringLiteral(u"newsbench 報告サービス");
inline const QString PublisherPageTitle = QStringLiteral(u"newsbench について");

inline const QString RankingIntro
    = QStringLiteral(u"ニュースサーバ・ベンチマークで計測した結果を、サーバごとに並べています。"
                     u"列の見出しを押すと並べ替えます。");
inline const QString FiguresNote = QStringLiteral(
    u"数値は、サーバごとに最新の報告から %1 日以内の報告の、新しい方から %2 件までの中央値です"
    u"（件数が偶数のときは中央の二つのうち小さい方）。"
    u"一件の報告で順位が大きく動くことはありません。"
    u"サービス名・種別・投稿は最新の報告のものです。"
    u"報告数の欄は「中央値に使った件数 / 報告の総数」です。");
inline const QString FigureCountOf = QStringLiteral(u"%1 / %2");
inline const QString RankingTotals = QStringLiteral(u"%1 サーバ・%2 件の報告");
inline const QString RankingEmpty
    = QStringLiteral(u"まだ報告がありません。ニュースサーバ・ベンチマークで計測して「結果を報告」を"
                     u"押すと、ここに載ります。");
inline const QString PagePrevious = QStringLiteral(u"前へ");
inline const QString PageNext = QStringLiteral(u"次へ");
inline const QString PageOf = QStringLiteral(u"%1 / %2 ページ");
inline const QString ScrollHint = QStringLiteral(u"表は横にスクロールできます。");

inline const QString ColumnAddress = QStringLiteral(u"アドレス");
inline const QString ColumnName = QStringLiteral(u"サービス名");
inline const QString ColumnType = QStringLiteral(u"種別");
inline const QString ColumnPost = QStringLiteral(u"投稿");
inline const QString ColumnGroups = QStringLiteral(u"総グループ数");
inline const QString ColumnSpeed = QStringLiteral(u"平均速度");
inline const QString ColumnCounts = QStringLiteral(u"グループ数");
inline const QString ColumnExpires = QStringLiteral(u"保存期間（日）");
inline const QString ColumnReports = QStringLiteral(u"報告数");
inline const QString ColumnMeasured = QStringLiteral(u"最終計測");
inline const QString ColumnReceived = QStringLiteral(u"計測日時");
inline const QString ColumnArticleSpeed = QStringLiteral(u"記事の速度");
inline const QString ColumnKnee = QStringLiteral(u"頭打ち");
inline const QString ConnectionsUnit = QStringLiteral(u"接続");
inline const QString KneeNone = QStringLiteral(u"なし");
inline const QString ArticleNone = QStringLiteral(u"—");
inline const QString ArticleNote = QStringLiteral(
    u"記事の速度と頭打ちは、記事の速度も計測した報告だけの中央値です。"
    u"頭打ちは接続数を増やしても記事の速度が伸びなくなった接続数で、「なし」は最後まで伸びたことを"
    u"表します。「—」は記事の速度の報告がないサーバで、並べ替えでは常に最後になります。");
inline const QString ArticleTitle = QStringLiteral(u"記事のダウンロード速度");
inline const QString ArticleChartTitle = QStringLiteral(u"接続数ごとの記事の速度（byte/sec）");
inline const QString ArticleChartCaption
    = QStringLiteral(u"横軸は接続数です。最新の報告の、最後まで計測できた段階を示します。");
inline const QString ArticleBestLabel = QStringLiteral(u"記事の速度（最大）");
inline const QString ArticleBestValue = QStringLiteral(u"%1 byte/sec（%2 接続）");
inline const QString ArticleStepLabel = QStringLiteral(u"%1 接続");
inline const QString ArticleLimitLabel = QStringLiteral(u"接続数の上限");
inline const QString ArticlesLabel = QStringLiteral(u"記事の有無");
inline const QString ArticleBytesUnit = QStringLiteral(u"byte");
inline const QString MsUnit = QStringLiteral(u"ms");
inline const QString Unmeasured = QStringLiteral(u"-");
inline const QString EndMaximum = QStringLiteral(u"最大の接続数まで計測しました");
inline const QString EndKnee = QStringLiteral(u"接続数を増やしても速くならなくなりました");
inline const QString EndRefused = QStringLiteral(u"サーバがそれ以上の接続を拒否しました");
inline const QString EndCap = QStringLiteral(u"ダウンロード量の上限に達しました");
inline const QString EndStopped = QStringLiteral(u"中止しました");
inline const QString EndLost = QStringLiteral(u"サーバが接続を切りました");
inline const QString EndNoArticles = QStringLiteral(u"読める記事がありませんでした");
inline const QString EndFailed = QStringLiteral(u"計測できませんでした");

inline const QString PostYes = QStringLiteral(u"可");
inline const QString PostNo = QStringLiteral(u"不可");
inline const QString SpeedUnit = QStringLiteral(u"byte/sec");
inline const QString CountUnit = QStringLiteral(u"groups");
inline const QString ExpireUnit = QStringLiteral(u"日");
inline const QString ExpireNone = QStringLiteral(u"—");
inline const QString ExpireNoneNote
    = QStringLiteral(u"保存期間の「—」は、サーバにそのカテゴリのグループがないことを表します。");
inline const QString ExpireNoneSortNote = QStringLiteral(u"並べ替えでは常に最後になります。");
inline const QString DateFormat = QStringLiteral(u"yyyy-MM-dd HH:mm");
inline const QString TimeZoneNote = QStringLiteral(u"（日本時間）");

inline const QString ServerFacts = QStringLiteral(u"報告 %1 件・最終計測 %2");
inline const QString SpeedChartTitle = QStringLiteral(u"平均速度の推移（byte/sec）");
inline const QString ExpireChartTitle = QStringLiteral(u"保存期間の推移（日）");
inline const QString HistoryTitle = QStringLiteral(u"報告の履歴");
inline const QString LatestTitle = QStringLiteral(u"最新の報告");

inline const QString ConfirmTitle = QStringLiteral(u"ベンチマーク結果の報告");
inline const QString ConfirmIntro
    = QStringLiteral(u"次の結果をランキングに登録します。内容を確かめて「登録」を押してください。");
inline const QString ConfirmButton = QStringLiteral(u"登録");
inline const QString ConfirmValidUntil
    = QStringLiteral(u"このページからの登録は %1 まで受け付けます。");

inline const QString BadReportTitle = QStringLiteral(u"報告を受け付けられませんでした");
inline const QString BadReportIntro
    = QStringLiteral(u"次の項目が正しくありません。何も登録していません。");
inline const QString FieldLine = QStringLiteral(u"%1（%2）: %3");
inline const QString ReasonMissing = QStringLiteral(u"ありません");
inline const QString ReasonRepeated = QStringLiteral(u"二つ以上あります");
inline const QString ReasonRange = QStringLiteral(u"%1 から %2 までの整数ではありません");
inline const QString ReasonShiftJis = QStringLiteral(u"Shift_JIS の文字として読めません");
inline const QString ReasonText = QStringLiteral(u"文字として読めません");
inline const QString ReasonTooLong = QStringLiteral(u"%1 文字を超えています");
inline const QString ReasonControl = QStringLiteral(u"制御文字が含まれています");
inline const QString ReasonTokenForged = QStringLiteral(
    u"確認ページの署名が正しくありません。もう一度「結果を報告」からやり直してください");
inline const QString ReasonTokenExpired = QStringLiteral(
    u"確認ページの有効期限が切れています。もう一度「結果を報告」からやり直してください");
inline const QString TokenField = QStringLiteral(u"確認用の署名");
inline const QString FormatField = QStringLiteral(u"送信形式");
inline const QString ReasonFormat = QStringLiteral(u"フォームの送信ではありません");

inline const QString FieldCount = QStringLiteral(u"%1 のグループ数");
inline const QString FieldExpire = QStringLiteral(u"%1 の保存期間");
inline const QString FieldArticleSpeed = QStringLiteral(u"記事の速度");
inline const QString FieldArticleConnections = QStringLiteral(u"記事の速度の接続数");
inline const QString FieldKnee = QStringLiteral(u"速度が伸びなくなる接続数");
inline const QString FieldConnections = QStringLiteral(u"受け付けた接続数");
inline const QString FieldMoreRefused = QStringLiteral(u"それ以上の接続の拒否");
inline const QString FieldGreetingMs = QStringLiteral(u"接続から応答まで");
inline const QString FieldStatMs = QStringLiteral(u"STAT の応答時間");
inline const QString FieldArticlesAsked = QStringLiteral(u"調べた記事の数");
inline const QString FieldArticlesFound = QStringLiteral(u"あった記事の数");
inline const QString FieldArticleBytes = QStringLiteral(u"記事のダウンロード量");
inline const QString FieldArticleEnd = QStringLiteral(u"計測の終わり");
inline const QString FieldArticleSteps = QStringLiteral(u"接続数ごとの記事の速度");
inline const QString ReasonFoundOverAsked = QStringLiteral(u"調べた記事の数を超えています");
inline const QString ReasonEndName = QStringLiteral(u"%1 のどれでもありません");
inline const QString ReasonSteps
    = QStringLiteral(u"「接続数:byte/sec」をコンマで区切り、接続数の小さい順に %1 件まで並べたもの"
                     u"（接続数は 1 から %2、速度は 0 から %3）ではありません");
inline const QString ReasonNotBestStep
    = QStringLiteral(u"接続数ごとの記事の速度の最大と合いません");
inline const QString ReasonNotAStep = QStringLiteral(u"接続数ごとの記事の速度にない接続数です");

inline const QString TooManyTitle = QStringLiteral(u"報告が多すぎます");
inline const QString TooManyText
    = QStringLiteral(u"同じ接続元から 1 時間に登録できる報告は %1 "
                     u"件までです。しばらくしてからもう一度お試しください。");
inline const QString TooLargeTitle = QStringLiteral(u"リクエストが大きすぎます");
inline const QString TooLargeText
    = QStringLiteral(u"%1 バイトを超えるリクエストは受け付けません。");
inline const QString NotFoundTitle = QStringLiteral(u"ページが見つかりません");
inline const QString NotFoundText = QStringLiteral(u"アドレスを確かめてください。");
inline const QString MethodTitle = QStringLiteral(u"このページはその方法では使えません");
inline const QString MethodText = QStringLiteral(u"許される方法: %1");
inline const QString ParameterTitle = QStringLiteral(u"指定が正しくありません");
inline const QString ParameterText = QStringLiteral(u"%1 の値が正しくありません。");
inline const QString InternalTitle = QStringLiteral(u"サーバの内部でエラーが起きました");
inline const QString InternalText = QStringLiteral(u"しばらくしてからもう一度お試しください。");
inline const QString BusyTitle = QStringLiteral(u"ただいま混み合っています");
inline const QString TimeoutTitle = QStringLiteral(u"リクエストが時間内に届きませんでした");
inline const QString TimeoutText
    = QStringLiteral(u"通信が遅すぎるため接続を閉じました。もう一度お試しください。");
inline const QString ConnectionsTitle = QStringLiteral(u"同時接続が多すぎます");
inline const QString ConnectionsText = QStringLiteral(u"同じ接続元からの同時接続は %1 本までです。"
                                                      u"しばらくしてからもう一度お試しください。");
inline const QString BackToRanking = QStringLiteral(u"ランキングへ戻る");

} // namespace ServiceTexts
