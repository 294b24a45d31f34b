#include "ui/formmain.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>

#include "engine/runfailure.h"
#include "engine/shiftjis.h"
#include "report/articlereport.h"
#include "report/reportfields.h"
#include "report/versionstring.h"
#include "report/webreport.h"
#include "ui/messageboxes.h"
#include "ui/reportclipboard.h"
#include "ui/stagecaption.h"
#include "ui/texts.h"

namespace {
constexpr int HierarchyLabelRight = 321;
constexpr int ButtonTop = 396;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;
const char RightEdgeProperty[] = "rightEdge";

// Password fields show one asterisk per character, whatever the desktop's style.
class AsteriskStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Handlers that can fail show the standard error box and leave the window as it was.
template<typename Body> void guarded(QWidget *window, Body body)
{
    try {
        body();
    } catch (const std::exception &error) {
        MessageBoxes::showError(window, QString::fromUtf8(error.what()));
    }
}
} // namespace

TFormMain::TFormMain(QWidget *parent)
    : QWidget(parent)
{
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setWindowTitle(Texts::AppTitle);
    setFixedSize(ClientWidth, ClientHeight);
    QFont font(Texts::FontFamily);
    font.setPixelSize(Texts::FontPixelSize);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);

    createControls();
    setTabOrder();
    nameFieldsForScreenReaders();
    FormCreate();
}

TFormMain::~TFormMain()
{
    // A window closed in the middle of a run ends its connection without further events.
    run.connection.Timer1.stop();
}

QLabel *TFormMain::fixedLabel(QWidget *parent, const QString &caption, int left, int top, int width,
                              int height)
{
    auto *label = new QLabel(caption, parent);
    label->setGeometry(left, top, width, height);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel *TFormMain::rightAlignedLabel(QWidget *parent, const QString &caption, int right, int top)
{
    auto *label = new QLabel(caption, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    label->setProperty(RightEdgeProperty, right);
    label->adjustSize();
    label->move(right - label->width(), top);
    return label;
}

QLineEdit *TFormMain::edit(QWidget *parent, int left, int top, int width, int height)
{
    auto *field = new QLineEdit(parent);
    field->setGeometry(left, top, width, height);
    return field;
}

QLineEdit *TFormMain::resultField(int left, int top, int width, bool readOnly)
{
    return resultField(GroupBox1, left, top, width, readOnly);
}

QLineEdit *TFormMain::resultField(QWidget *parent, int left, int top, int width, bool readOnly)
{
    QLineEdit *field = edit(parent, left, top, width, 20);
    field->setReadOnly(readOnly);
    QPalette colours = field->palette();
    colours.setColor(QPalette::Base, palette().color(QPalette::Button));
    field->setPalette(colours);
    return field;
}

QPushButton *TFormMain::button(const QString &caption, int left)
{
    auto *button = new QPushButton(caption, this);
    button->setGeometry(left, ButtonTop, ButtonWidth, ButtonHeight);
    button->setAutoDefault(false);
    return button;
}

void TFormMain::createControls()
{
    LbName = fixedLabel(this, Texts::LbName, 4, 8, 105, 17);
    EditName = edit(this, 104, 4, 149, 20);
    Label23 = fixedLabel(this, Texts::Label23, 256, 8, 33, 21);
    ServerType = new QComboBox(this);
    ServerType->setGeometry(284, 4, 121, 20);
    for (const QString &item : Texts::ServerTypes)
        ServerType->addItem(item);
    Label1 = fixedLabel(this, Texts::Label1, 4, 32, 57, 21);
    EditAddress = edit(this, 52, 28, 353, 20);
    ChkUseAuth = new QCheckBox(Texts::ChkUseAuth, this);
    ChkUseAuth->setGeometry(52, 52, 93, 20);
    Label4 = fixedLabel(this, Texts::Label4, 152, 54, 25, 17);
    EditUserID = edit(this, 168, 52, 89, 20);
    Label5 = fixedLabel(this, Texts::Label5, 260, 54, 57, 17);
    EditPassword = edit(this, 320, 52, 85, 20);
    EditPassword->setEchoMode(QLineEdit::Password);
    auto *asterisks = new AsteriskStyle;
    asterisks->setParent(EditPassword);
    EditPassword->setStyle(asterisks);

    GroupBox1 = new QGroupBox(Texts::GroupBox1, this);
    GroupBox1->setGeometry(0, 76, 405, 316);
    LbPost = fixedLabel(GroupBox1, StageCaption(Stage::Post), 8, 16, 45, 21);
    EditPostAllowed = resultField(252, 12, 81, false);
    LbGroups = fixedLabel(GroupBox1, StageCaption(Stage::Groups), 8, 40, 133, 21);
    EditGroupCount = resultField(252, 36, 81);
    Label11 = fixedLabel(GroupBox1, Texts::Label11, 336, 40, 45, 17);
    LbSpeed = fixedLabel(GroupBox1, StageCaption(Stage::Speed), 8, 64, 141, 21);
    Label7 = fixedLabel(GroupBox1, Texts::Label7, 222, 64, 41, 17);
    EditSpeed = resultField(252, 60, 81);
    Label9 = fixedLabel(GroupBox1, Texts::Label9, 338, 64, 63, 17);
    LbFeed = fixedLabel(GroupBox1, StageCaption(Stage::Feed), 8, 88, 141, 17);
    constexpr int countLabelTops[] = {88, 110, 132, 152, 176};
    constexpr int countEditTops[] = {84, 106, 128, 150, 174};
    for (int h = 0; h < 5; ++h) {
        CountLabels[h] = rightAlignedLabel(GroupBox1, Texts::HierarchyNames[h], HierarchyLabelRight,
                                           countLabelTops[h]);
        EditCount[h] = resultField(324, countEditTops[h], 73);
    }
    LbExpire = fixedLabel(GroupBox1, StageCaption(Stage::Expire), 8, 204, 109, 21);
    constexpr int expireLabelTops[] = {204, 230, 252, 272, 296};
    constexpr int expireEditTops[] = {200, 222, 244, 266, 290};
    for (int h = 0; h < 5; ++h) {
        LbExpireItem[h] = rightAlignedLabel(GroupBox1, Texts::HierarchyNames[h],
                                            HierarchyLabelRight, expireLabelTops[h]);
        EditExpire[h] = resultField(324, expireEditTops[h], 73);
    }

    BtnStop = button(Texts::BtnStop, 88);
    BtnStart = button(Texts::BtnStart, 88);
    BtnStart->setEnabled(false);
    BtnCopyToClipboard = button(Texts::BtnCopyToClipboard, 168);
    BtnCopyToClipboard->setEnabled(false);
    BtnReport = button(Texts::BtnReport, 248);
    BtnReport->setEnabled(false);
    BtnEnd = button(Texts::BtnEnd, 328);
    BtnStart->raise();

    createArticleControls();

    connect(ServerType, &QComboBox::activated, this, &TFormMain::ServerTypeChange);
    connect(EditAddress, &QLineEdit::textChanged, this, &TFormMain::EditAddressChange);
    connect(BtnStart, &QPushButton::clicked, this, &TFormMain::BtnStartClick);
    connect(BtnStop, &QPushButton::clicked, this, &TFormMain::BtnStopClick);
    connect(BtnEnd, &QPushButton::clicked, this, &TFormMain::BtnEndClick);
    connect(BtnCopyToClipboard, &QPushButton::clicked, this, &TFormMain::BtnCopyToClipboardClick);
    connect(BtnReport, &QPushButton::clicked, this, &TFormMain::BtnReportClick);
}

void TFormMain::createArticleControls()
{
    // Below the classic window, which keeps every control where it was.
    GroupBox2 = new QGroupBox(Texts::GroupBox2, this);
    GroupBox2->setGeometry(0, ClassicHeight, 405, ArticleAreaHeight - 4);
    ChkArticles = new QCheckBox(Texts::ChkArticles, GroupBox2);
    ChkArticles->setGeometry(8, 16, 140, 20);
    LbMaxConnections = fixedLabel(GroupBox2, Texts::LbMaxConnections, 150, 18, 62, 17);
    SpinMaxConnections = new QSpinBox(GroupBox2);
    SpinMaxConnections->setGeometry(214, 16, 45, 20);
    SpinMaxConnections->setRange(1, ArticleSweepSettings::MaxConnectionsLimit);
    SpinMaxConnections->setValue(ArticleSweepSettings::DefaultMaxConnections);
    LbByteCap = fixedLabel(GroupBox2, Texts::LbByteCap, 266, 18, 62, 17);
    SpinByteCap = new QSpinBox(GroupBox2);
    SpinByteCap->setGeometry(330, 16, 67, 20);
    SpinByteCap->setRange(1, MaxByteCapMegabytes);
    SpinByteCap->setValue(int(ArticleSweepSettings::DefaultByteCap / BytesPerMegabyte));

    LbArticles = fixedLabel(GroupBox2, StageCaption(Stage::Articles), 8, 42, 120, 17);
    LbArticleStep = fixedLabel(GroupBox2, QString(), 134, 42, 52, 17);
    LbArticleSpeed = fixedLabel(GroupBox2, Texts::LbArticleSpeed, 188, 42, 62, 17);
    EditArticleSpeed = resultField(GroupBox2, 252, 38, 81, true);
    LbArticleSpeedUnit = fixedLabel(GroupBox2, Texts::Label9, 338, 42, 63, 17);
    LbKnee = fixedLabel(GroupBox2, Texts::LbKnee, 8, 66, 40, 17);
    EditKnee = resultField(GroupBox2, 48, 62, 45, true);
    LbAccepted = fixedLabel(GroupBox2, Texts::LbAccepted, 104, 66, 88, 17);
    EditAccepted = resultField(GroupBox2, 192, 62, 45, true);
    LbLatency = fixedLabel(GroupBox2, Texts::LbLatency, 246, 66, 52, 17);
    EditLatency = resultField(GroupBox2, 300, 62, 97, true);
    LbArticlesFound = fixedLabel(GroupBox2, Texts::LbArticlesFound, 8, 90, 40, 17);
    EditArticlesFound = resultField(GroupBox2, 48, 86, 105, true);
    LbArticleEnd = fixedLabel(GroupBox2, QString(), 160, 90, 237, 17);

    // The limits only matter with the measurement on.
    auto enableLimits = [this](bool on) {
        SpinMaxConnections->setEnabled(on);
        SpinByteCap->setEnabled(on);
    };
    enableLimits(false);
    connect(ChkArticles, &QCheckBox::toggled, this, enableLimits);
}

void TFormMain::setTabOrder()
{
    const QWidget *const order[]
        = {EditAddress, BtnStart, BtnReport, BtnEnd, ChkUseAuth, EditUserID, EditPassword,
           // inside the group box, its own sequence
           EditGroupCount, EditSpeed, EditCount[0], EditCount[1], EditCount[2], EditCount[3],
           EditExpire[0], EditExpire[1], EditExpire[2], EditExpire[3], EditPostAllowed,
           EditCount[4], EditExpire[4],
           // and after it
           ServerType, BtnStop, EditName, BtnCopyToClipboard,
           // the article area, after everything of the classic window
           ChkArticles, SpinMaxConnections, SpinByteCap, EditArticleSpeed, EditKnee, EditAccepted,
           EditLatency, EditArticlesFound};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget *>(order[i - 1]), const_cast<QWidget *>(order[i]));
}

void TFormMain::nameFieldsForScreenReaders()
{
    // Each field is announced by the label beside it.
    EditName->setAccessibleName(LbName->text());
    ServerType->setAccessibleName(Label23->text());
    EditAddress->setAccessibleName(Label1->text());
    EditUserID->setAccessibleName(Label4->text().trimmed());
    EditPassword->setAccessibleName(Label5->text());
    EditPostAllowed->setAccessibleName(LbPost->text());
    EditGroupCount->setAccessibleName(LbGroups->text() + QLatin1Char(' ') + Label11->text());
    EditSpeed->setAccessibleName(Label7->text() + QLatin1Char(' ') + Label9->text());
    for (int h = 0; h < 5; ++h) {
        EditCount[h]->setAccessibleName(LbFeed->text() + QLatin1Char(' ') + CountLabels[h]->text());
        EditExpire[h]->setAccessibleName(LbExpire->text() + QLatin1Char(' ')
                                         + LbExpireItem[h]->text());
    }
    SpinMaxConnections->setAccessibleName(LbMaxConnections->text());
    SpinByteCap->setAccessibleName(LbByteCap->text());
    EditArticleSpeed->setAccessibleName(LbArticleSpeed->text() + QLatin1Char(' ')
                                        + LbArticleSpeedUnit->text());
    EditKnee->setAccessibleName(LbKnee->text());
    EditAccepted->setAccessibleName(LbAccepted->text());
    EditLatency->setAccessibleName(LbLatency->text());
    EditArticlesFound->setAccessibleName(LbArticlesFound->text());
}

void TFormMain::FormCreate()
{
    // Set by program: no change handler runs, the name label keeps its first caption.
    ServerType->setCurrentIndex(0);
}

void TFormMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen *where = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(where->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TFormMain::closeEvent(QCloseEvent *event)
{
    if (m_running) {
        // The run finishes first, message boxes included; then the program ends. The article
        // measurement, which may have many connections and minutes to go, stops at once.
        m_closeRequested = true;
        if (m_measuringArticles)
            run.stop();
        event->ignore();
        return;
    }
    event->accept();
}

void TFormMain::ServerTypeChange()
{
    LbName->setText(ServerType->currentText() + Texts::NameSuffix);
    EditName->setAccessibleName(LbName->text());
}

void TFormMain::EditAddressChange()
{
    BtnStart->setEnabled(!EditAddress->text().isEmpty());
}

void TFormMain::BtnEndClick()
{
    QCoreApplication::quit();
}

void TFormMain::BtnStopClick()
{
    run.stop();
}

void TFormMain::BtnStartClick()
{
    // The covered start button may still have the focus: a key press must not nest a run.
    if (m_running)
        return;
    if (!MessageBoxes::confirm(this, Texts::ConfirmCaption, Texts::ConfirmText))
        return;
    m_running = true;
    BtnStop->raise();
    BtnEnd->setEnabled(false);
    BtnReport->setEnabled(false);
    BtnCopyToClipboard->setEnabled(false);
    // The options are read as the run begins: they cannot change under it.
    ChkArticles->setEnabled(false);
    SpinMaxConnections->setEnabled(false);
    SpinByteCap->setEnabled(false);
    if (ChkArticles->isChecked())
        clearArticleResults();

    const RunOutcome outcome = run.execute(*this);
    if (outcome == RunOutcome::Completed) {
        BtnReport->setEnabled(true);
        BtnCopyToClipboard->setEnabled(true);
    }

    HighlightStep(nullptr, nullptr);
    m_measuringArticles = false;
    LbArticleStep->clear();
    ChkArticles->setEnabled(true);
    SpinMaxConnections->setEnabled(ChkArticles->isChecked());
    SpinByteCap->setEnabled(ChkArticles->isChecked());
    BtnEnd->setEnabled(true);
    BtnStop->lower();
    m_running = false;
    if (m_closeRequested)
        QCoreApplication::quit();
}

void TFormMain::setLabelBold(QLabel *label, bool bold)
{
    QFont labelFont = label->font();
    labelFont.setBold(bold);
    labelFont.setItalic(false);
    labelFont.setUnderline(false);
    labelFont.setStrikeOut(false);
    label->setFont(labelFont);
    const QVariant right = label->property(RightEdgeProperty);
    if (right.isValid()) {
        // Sized to its text with a fixed right edge: a bold label grows to the left.
        label->adjustSize();
        label->move(right.toInt() - label->width(), label->y());
    }
}

void TFormMain::HighlightStep(QLabel *stepLabel, QLabel *itemLabel)
{
    if (m_highlightedItem) {
        setLabelBold(m_highlightedItem, false);
        m_highlightedItem = nullptr;
    }
    if (m_highlightedStep) {
        setLabelBold(m_highlightedStep, false);
        m_highlightedStep = nullptr;
    }
    if (itemLabel) {
        m_highlightedItem = itemLabel;
        setLabelBold(itemLabel, true);
    }
    if (stepLabel) {
        m_highlightedStep = stepLabel;
        setLabelBold(stepLabel, true);
    }
}

QLineEdit *TFormMain::resultEdit(ResultField field) const
{
    switch (field) {
    case ResultField::PostAllowed:
        return EditPostAllowed;
    case ResultField::GroupCount:
        return EditGroupCount;
    case ResultField::Speed:
        return EditSpeed;
    default:
        break;
    }
    return isExpireField(field) ? EditExpire[hierarchyOf(field)] : EditCount[hierarchyOf(field)];
}

QString TFormMain::serverAddress() const
{
    return EditAddress->text();
}

bool TFormMain::useAuthentication() const
{
    return ChkUseAuth->isChecked();
}

QByteArray TFormMain::authUser() const
{
    return ToShiftJis(EditUserID->text());
}

QByteArray TFormMain::authPassword() const
{
    return ToShiftJis(EditPassword->text());
}

void TFormMain::highlightStage(Stage stage, int hierarchy)
{
    m_measuringArticles = stage == Stage::Articles;
    QLabel *step = nullptr;
    switch (stage) {
    case Stage::None:
        break;
    case Stage::Post:
        step = LbPost;
        break;
    case Stage::Groups:
        step = LbGroups;
        break;
    case Stage::Speed:
        step = LbSpeed;
        break;
    case Stage::Feed:
        step = LbFeed;
        break;
    case Stage::Expire:
        step = LbExpire;
        break;
    case Stage::Articles:
        step = LbArticles;
        break;
    }
    HighlightStep(step, hierarchy >= 0 && hierarchy < 5 ? LbExpireItem[hierarchy] : nullptr);
}

void TFormMain::showResult(ResultField field, const QString &text)
{
    resultEdit(field)->setText(text);
}

void TFormMain::showRunFailure(const QString &message)
{
    MessageBoxes::inform(this, RunFailureText(message));
}

ArticleOptions TFormMain::articleOptions() const
{
    ArticleOptions options;
    options.enabled = ChkArticles->isChecked();
    options.maxConnections = SpinMaxConnections->value();
    options.stepMs = articleStepMs;
    options.byteCap = qint64(SpinByteCap->value()) * BytesPerMegabyte;
    return options;
}

void TFormMain::clearArticleResults()
{
    for (QLineEdit *field :
         {EditArticleSpeed, EditKnee, EditAccepted, EditLatency, EditArticlesFound})
        field->clear();
    LbArticleStep->clear();
    LbArticleEnd->clear();
}

void TFormMain::showArticleStep(int connections)
{
    LbArticleStep->setText(Texts::ArticleStep.arg(connections));
}

namespace {

// How the measurement ended, when that is news: its normal ends say nothing.
QString articleEndText(SweepEnd end)
{
    switch (end) {
    case SweepEnd::Maximum:
    case SweepEnd::Knee:
        break;
    case SweepEnd::Refused:
        return QStringLiteral("それ以上の接続は拒否されました");
    case SweepEnd::ByteCap:
        return QStringLiteral("ダウンロード量の上限に達しました");
    case SweepEnd::Stopped:
        return QStringLiteral("中止しました");
    case SweepEnd::ConnectionLost:
        return QStringLiteral("サーバが接続を切りました");
    case SweepEnd::NoArticles:
        return QStringLiteral("読める記事がありませんでした");
    case SweepEnd::Failed:
        return QStringLiteral("計測できませんでした");
    }
    return {};
}

QString msText(qint64 us)
{
    return us < 0 ? Texts::Unmeasured : QString::number(RoundedMs(us));
}

} // namespace

void TFormMain::showArticleResults(const ArticleSweepResult &result)
{
    EditArticleSpeed->setText(result.bestConnections > 0
                                  ? QString::number(result.bestBytesPerSecond)
                                  : Texts::Unmeasured);
    // No knee after complete steps: the speed grew to the last one.
    EditKnee->setText(result.knee > 0                  ? QString::number(result.knee)
                          : result.bestConnections > 0 ? Texts::NoKnee
                                                       : Texts::Unmeasured);
    EditAccepted->setText(QString::number(result.acceptedConnections));
    EditLatency->setText(msText(result.greetingUs) + QStringLiteral(" / ") + msText(result.statUs));
    EditArticlesFound->setText(QString::number(result.articlesFound) + QStringLiteral(" / ")
                               + QString::number(result.articlesAsked));
    LbArticleEnd->setText(articleEndText(result.end));
}

ReportFields TFormMain::reportFields() const
{
    ReportFields fields;
    fields.name = EditName->text();
    fields.serverTypeText = ServerType->currentText();
    fields.serverTypeIndex = ServerType->currentIndex();
    fields.address = EditAddress->text();
    fields.postAllowed = run.PostAllowed;
    for (int f = 0; f < ResultFieldCount; ++f)
        ResultText(fields, ResultField(f)) = resultEdit(ResultField(f))->text();
    // Only the run that enabled the report buttons measured these.
    fields.articles = run.Articles;
    fields.articleByteCap = run.ArticleByteCap;
    return fields;
}

void TFormMain::BtnCopyToClipboardClick()
{
    guarded(this, [this] {
        CopyTextReport(reportFields(), Texts::AppTitle,
                       VersionString(QCoreApplication::applicationFilePath()));
    });
}

void TFormMain::BtnReportClick()
{
    guarded(this, [this] { SubmitWebReport(reportFields()); });
}
