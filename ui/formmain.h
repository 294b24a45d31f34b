#pragma once

#include <QWidget>

#include <array>

#include "engine/benchmarkrun.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
struct ReportFields;

// The program's one window: server inputs, the run's progress and results, the buttons.
class TFormMain : public QWidget, public RunView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TFormMain)

public:
    static constexpr int ClientWidth = 410;
    // The article area below the buttons adds its height to the classic window.
    static constexpr int ClassicHeight = 425;
    static constexpr int ArticleAreaHeight = 120;
    static constexpr int ClientHeight = ClassicHeight + ArticleAreaHeight;
    // The byte cap is set in units of 10^6 bytes.
    static constexpr qint64 BytesPerMegabyte = 1'000'000;
    static constexpr int MaxByteCapMegabytes = 100'000;

    explicit TFormMain(QWidget *parent = nullptr);
    ~TFormMain() override;

    // Server and account inputs.
    QLabel *LbName = nullptr;
    QLineEdit *EditName = nullptr;
    QLabel *Label23 = nullptr;
    QComboBox *ServerType = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *EditAddress = nullptr;
    QCheckBox *ChkUseAuth = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *EditUserID = nullptr;
    QLabel *Label5 = nullptr;
    QLineEdit *EditPassword = nullptr;

    // Progress and results.
    QGroupBox *GroupBox1 = nullptr;
    QLabel *LbPost = nullptr;
    QLineEdit *EditPostAllowed = nullptr;
    QLabel *LbGroups = nullptr;
    QLineEdit *EditGroupCount = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *LbSpeed = nullptr;
    QLabel *Label7 = nullptr;
    QLineEdit *EditSpeed = nullptr;
    QLabel *Label9 = nullptr;
    QLabel *LbFeed = nullptr;
    std::array<QLabel *, 5> CountLabels{}; // Label14, Label15, Label16, Label17, Label2
    std::array<QLineEdit *, 5> EditCount{}; // ABPE, AS, JBPE, AFJ, ABME
    QLabel *LbExpire = nullptr;
    std::array<QLabel *, 5> LbExpireItem{};
    std::array<QLineEdit *, 5> EditExpire{};

    QPushButton *BtnStop = nullptr;
    QPushButton *BtnStart = nullptr;
    QPushButton *BtnCopyToClipboard = nullptr;
    QPushButton *BtnReport = nullptr;
    QPushButton *BtnEnd = nullptr;

    // The article speed measurement.
    QGroupBox *GroupBox2 = nullptr;
    QCheckBox *ChkArticles = nullptr;
    QLabel *LbMaxConnections = nullptr;
    QSpinBox *SpinMaxConnections = nullptr;
    QLabel *LbByteCap = nullptr;
    QSpinBox *SpinByteCap = nullptr;
    QLabel *LbArticles = nullptr;
    QLabel *LbArticleStep = nullptr;
    QLabel *LbArticleSpeed = nullptr;
    QLineEdit *EditArticleSpeed = nullptr;
    QLabel *LbArticleSpeedUnit = nullptr;
    QLabel *LbKnee = nullptr;
    QLineEdit *EditKnee = nullptr;
    QLabel *LbAccepted = nullptr;
    QLineEdit *EditAccepted = nullptr;
    QLabel *LbLatency = nullptr;
    QLineEdit *EditLatency = nullptr;
    QLabel *LbArticlesFound = nullptr;
    QLineEdit *EditArticlesFound = nullptr;
    QLabel *LbArticleEnd = nullptr;
    // Each step's time; the window offers no control for it, the tests shorten it.
    int articleStepMs = ArticleSweepSettings::DefaultStepMs;

    BenchmarkRun run;

    bool isRunning() const { return m_running; }
    bool closeRequested() const { return m_closeRequested; }
    QLabel *highlightedStepLabel() const { return m_highlightedStep; }
    QLabel *highlightedItemLabel() const { return m_highlightedItem; }
    QLineEdit *resultEdit(ResultField field) const;
    ReportFields reportFields() const;

    // Handlers.
    void FormCreate();
    void ServerTypeChange();
    void EditAddressChange();
    void BtnStartClick();
    void BtnStopClick();
    void BtnEndClick();
    void BtnCopyToClipboardClick();
    void BtnReportClick();
    void HighlightStep(QLabel *stepLabel, QLabel *itemLabel);

    // RunView
    QString serverAddress() const override;
    bool useAuthentication() const override;
    QByteArray authUser() const override;
    QByteArray authPassword() const override;
    void highlightStage(Stage stage, int hierarchy) override;
    void showResult(ResultField field, const QString &text) override;
    void showRunFailure(const QString &message) override;
    ArticleOptions articleOptions() const override;
    void showArticleStep(int connections) override;
    void showArticleResults(const ArticleSweepResult &result) override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void createControls();
    void createArticleControls();
    void clearArticleResults();
    void setTabOrder();
    void nameFieldsForScreenReaders();
    QLabel *fixedLabel(QWidget *parent, const QString &caption, int left, int top, int width,
                       int height);
    QLabel *rightAlignedLabel(QWidget *parent, const QString &caption, int right, int top);
    QLineEdit *edit(QWidget *parent, int left, int top, int width, int height);
    QLineEdit *resultField(int left, int top, int width, bool readOnly = true);
    QLineEdit *resultField(QWidget *parent, int left, int top, int width, bool readOnly);
    QPushButton *button(const QString &caption, int left);
    void setLabelBold(QLabel *label, bool bold);

    QLabel *m_highlightedStep = nullptr;
    QLabel *m_highlightedItem = nullptr;
    bool m_running = false;
    bool m_closeRequested = false;
    // In the article measurement, which a close ends as 中止 does: the main results are in.
    bool m_measuringArticles = false;
    bool m_centred = false;
};
