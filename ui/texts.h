#pragma once

#include <QString>

#include "report/reporttexts.h"

// The window's own texts, exactly as the user sees them.
namespace Texts {

inline const QString AppTitle = QStringLiteral("ニュースサーバ・ベンチマーク");

inline const QString ConfirmCaption = QStringLiteral("ベンチマーク開始の準備");
inline const QString ConfirmText
    = QStringLiteral("これよりニュースサーバのベンチマークを開始します."
                     "\r\nほかの通信プログラムを終了させてください。");

inline const QString LbName = QStringLiteral("プロバイダ名");
inline const QString NameSuffix = QStringLiteral("名");
inline const QString Label23 = QStringLiteral("種別");
inline const QString Label1 = QStringLiteral("アドレス");
inline const QString ChkUseAuth = QStringLiteral("ユーザ認証");
inline const QString Label4 = QStringLiteral("ID ");
inline const QString Label5 = QStringLiteral("Password");
inline const QString ServerTypes[]
    = {ServerTypeNames[0].toString(), ServerTypeNames[1].toString(), ServerTypeNames[2].toString()};

inline const QString GroupBox1 = QStringLiteral("実行プロセス");
inline const QString LbPost = QStringLiteral("1. 投稿");
inline const QString LbGroups = QStringLiteral("2. グループリストの取得");
inline const QString Label11 = QStringLiteral("groups");
inline const QString LbSpeed = QStringLiteral("3. ダウンロード速度の計測");
inline const QString Label7 = QStringLiteral("平均");
inline const QString Label9 = QStringLiteral("byte/sec");
inline const QString LbFeed = QStringLiteral("4. フィードグループの検証");
inline const QString LbExpire = QStringLiteral("5. 保存期間の検証");
inline const QString HierarchyNames[]
    = {QStringLiteral("alt.binaries.pictures.erotica.*"), QStringLiteral("alt.sex.*"),
       QStringLiteral("japan.binaries.pictures.erotica.*"), QStringLiteral("alt.freedom.jbpe.*"),
       QStringLiteral("alt.binaries.multimedia.erotica.*")};

// The article speed measurement, below the buttons.
inline const QString GroupBox2 = QStringLiteral("記事の速度");
inline const QString ChkArticles = QStringLiteral("記事の速度を計測する");
inline const QString LbMaxConnections = QStringLiteral("最大接続数");
inline const QString LbByteCap = QStringLiteral("上限 (MB)");
inline const QString LbArticles = QStringLiteral("6. 記事の速度の計測");
inline const QString LbArticleSpeed = QStringLiteral("記事の速度");
inline const QString LbKnee = QStringLiteral("頭打ち");
inline const QString LbAccepted = QStringLiteral("受け入れた接続");
inline const QString LbLatency = QStringLiteral("応答 (ms)");
inline const QString LbArticlesFound = QStringLiteral("記事");
// The step under way: its connections.
inline const QString ArticleStep = QStringLiteral("%1 接続");
inline const QString NoKnee = QStringLiteral("なし");
// A figure the measurement could not give.
inline const QString Unmeasured = QStringLiteral("-");

inline const QString BtnStop = QStringLiteral("中止");
inline const QString BtnStart = QStringLiteral("開始");
inline const QString BtnCopyToClipboard = QStringLiteral("結果をコピー");
inline const QString BtnReport = QStringLiteral("結果を報告");
inline const QString BtnEnd = QStringLiteral("終了");

// The Japanese proportional font a Linux desktop has in place of the classic Windows one.
inline const QString FontFamily = QStringLiteral("IPAPGothic");
constexpr int FontPixelSize = 12;

} // namespace Texts
