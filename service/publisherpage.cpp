#include "service/pages.h"

#include "service/servicetexts.h"

#ifndef NEWSBENCH_VERSION
#define NEWSBENCH_VERSION "1.1.0.53"
#endif

using namespace ServiceTexts;

namespace {

// The page the desktop program's text report names on its fourth line.
constexpr char16_t PublisherBody[] = uR"(<h1>newsbench — ニュースサーバ・ベンチマーク</h1>
<p>newsbench は、Usenet のニュースサーバ（NNTP サーバ）の実力を測るデスクトップ・プログラムです。
サーバのアドレスを入力して「開始」を押すと、TCP ポート 119 で次のことを一度に調べます。</p>
<ul>
<li>投稿ができるかどうか（接続したときの応答から）</li>
<li>扱っているニュースグループの数（<code>LIST</code> で受け取るグループ一覧から）</li>
<li>グループ一覧をダウンロードする平均速度（byte/sec）</li>
<li>主な五つのカテゴリそれぞれのグループ数</li>
<li>それぞれのカテゴリで、記事を何日分保存しているか（推定）</li>
</ul>
<p>結果は分かったものから順にウィンドウに表示されます。計測のあと「結果をコピー」でテキストの報告をクリップボードに、
「結果を報告」でこのサービスの確認ページをブラウザに開きます。確認ページで「登録」を押すと、
<a href="/">ランキング</a>にサーバが載り、報告が重なるとサーバのページに推移のグラフが描かれます。</p>

<h2>インストール（Debian 12）</h2>
<p>パッケージ <code>newsbench_%1_amd64.deb</code> をダウンロードして、次のコマンドでインストールします。
Qt と日本語フォントも一緒に入ります。</p>
<pre><code>sudo apt install ./newsbench_%1_amd64.deb</code></pre>
<p>メニューの「ネットワーク」に「ニュースサーバ・ベンチマーク」が現れます。
ソースからビルドするときは、ソースの最上位で <code>scripts/run.sh</code> を実行します。</p>

<h2>端末から使う</h2>
<p>ウィンドウを開かずに一回計測して、結果を端末に書き出すこともできます。画面のないサーバや cron からも使えます。</p>
<pre><code>newsbench --run ADDRESS [--name NAME] [--type 0|1|2] [--user USER]
          [--password-file FILE|-] [--format text|json|url]</code></pre>
<p><code>--type</code> はサービス種別で、0 がプロバイダ、1 が有料サーバ、2 がオープンサーバです。
何も付けなければ「結果をコピー」と同じテキストの報告を、<code>--format json</code> で JSON を書き出します。
<code>--format url</code> は「結果を報告」が開くのと同じ報告アドレスだけを書き出すので、ブラウザで開けばこのサービスの確認ページになります。</p>
<pre><code>newsbench --run news.example.com --name 'テスト局' --format url</code></pre>

<h2>ランキング</h2>
<p><a href="/">ニュースサーバ・ランキング</a>では、サーバごとに最近の報告（最新の報告から 180 日以内の 10 件まで）の中央値を並べています。
一件だけ飛び抜けた報告があっても順位は大きく動きません。
列の見出しを押すと、速度・グループ数・カテゴリごとの保存期間などで並べ替えられます。
速度は 1,250,000,000 byte/sec（10 Gbit/s）まで、保存期間は 7305 日（20 年）までの報告を受け付けます。
同じ接続元からの登録は 1 時間に %2 件まで、同じ内容の報告は 10 分以内なら一件として扱います。</p>
)";

} // namespace

namespace Pages {

QByteArray publisher(int reportsPerHour)
{
    return document(
        PublisherPageTitle,
        Web::Markup(PublisherBody)
            .arg(Web::escape(QStringLiteral(NEWSBENCH_VERSION)), Web::number(reportsPerHour)));
}

} // namespace Pages
