// The window as the user finds it, and its small handlers.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"
#include "ui/messageboxes.h"
#include "ui/texts.h"

namespace {

QWidget *frontAt(QWidget *window, QWidget *control)
{
    return window->childAt(control->geometry().center());
}

bool isBold(const QLabel *label)
{
    const QFont font = label->font();
    return font.bold() && !font.italic() && !font.underline() && !font.strikeOut();
}

bool isRegular(const QLabel *label)
{
    const QFont font = label->font();
    return !font.bold() && !font.italic() && !font.underline() && !font.strikeOut();
}

} // namespace

class TestFormMain : public QObject
{
    Q_OBJECT

private slots:
    void windowProperties();
    void startUpState();
    void layoutAt96Dpi();
    void tabOrder();
    void addressEnablesStart();
    void serverTypeRenamesLabel();
    void highlightStep();
    void accessibleNames();
    void captionsFit();
    void errorBoxText();
    void endButtonQuits();
};

void TestFormMain::windowProperties()
{
    TFormMain form;
    QCOMPARE(form.windowTitle(), QStringLiteral("ニュースサーバ・ベンチマーク"));
    QCOMPARE(form.size(), QSize(410, 425));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form.font().pixelSize(), 12);
    QCOMPARE(form.font().family(), QStringLiteral("IPAPGothic"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QRect screen = form.screen()->availableGeometry();
    QVERIFY(qAbs(form.frameGeometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(form.frameGeometry().center().y() - screen.center().y()) <= 1);
}

void TestFormMain::startUpState()
{
    TFormMain form;
    for (QLineEdit *edit : form.findChildren<QLineEdit *>())
        QVERIFY2(edit->text().isEmpty(), qPrintable(edit->objectName()));
    QVERIFY(!form.ChkUseAuth->isChecked());
    QCOMPARE(form.ServerType->currentIndex(), 0);
    QCOMPARE(form.ServerType->count(), 3);
    QCOMPARE(form.ServerType->itemText(0), QStringLiteral("プロバイダ"));
    QCOMPARE(form.ServerType->itemText(1), QStringLiteral("有料サーバ"));
    QCOMPARE(form.ServerType->itemText(2), QStringLiteral("オープンサーバ"));
    QVERIFY(!form.ServerType->isEditable());
    QCOMPARE(form.LbName->text(), QStringLiteral("プロバイダ名"));

    // Result fields: read-only with the button-face background, but the posting field.
    const QColor buttonFace = form.palette().color(QPalette::Button);
    QList<QLineEdit *> results{form.EditPostAllowed, form.EditGroupCount, form.EditSpeed};
    for (int h = 0; h < 5; ++h)
        results << form.EditCount[h] << form.EditExpire[h];
    for (QLineEdit *field : results) {
        QCOMPARE(field->parentWidget(), form.GroupBox1);
        QCOMPARE(field->palette().color(QPalette::Base), buttonFace);
        QCOMPARE(field->isReadOnly(), field != form.EditPostAllowed);
    }
    QVERIFY(!form.EditName->isReadOnly());
    QCOMPARE(form.EditPassword->echoMode(), QLineEdit::Password);
    QCOMPARE(form.EditPassword->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                   form.EditPassword),
             int('*'));

    for (QLabel *label : form.findChildren<QLabel *>())
        QVERIFY(isRegular(label));
    QVERIFY(!form.BtnStart->isEnabled());
    QVERIFY(!form.BtnCopyToClipboard->isEnabled());
    QVERIFY(!form.BtnReport->isEnabled());
    QVERIFY(form.BtnEnd->isEnabled());
    QVERIFY(form.BtnStop->isEnabled());
    QCOMPARE(frontAt(&form, form.BtnStart), form.BtnStart);
    QVERIFY(!form.run.connection.Timer1.isActive());
    QVERIFY(!form.run.connection.ClientSocket1.isOpen());
}

void TestFormMain::layoutAt96Dpi()
{
    TFormMain form;
    struct Expected
    {
        QWidget *control;
        QString caption;
        QRect rect;
    };
    auto text = [](QWidget *w) -> QString {
        if (auto *label = qobject_cast<QLabel *>(w))
            return label->text();
        if (auto *button = qobject_cast<QAbstractButton *>(w))
            return button->text();
        if (auto *box = qobject_cast<QGroupBox *>(w))
            return box->title();
        return {};
    };
    const Expected fixed[] = {
        {form.LbName, "プロバイダ名", {4, 8, 105, 17}},
        {form.EditName, "", {104, 4, 149, 20}},
        {form.Label23, "種別", {256, 8, 33, 21}},
        {form.ServerType, "", {284, 4, 121, 20}},
        {form.Label1, "アドレス", {4, 32, 57, 21}},
        {form.EditAddress, "", {52, 28, 353, 20}},
        {form.ChkUseAuth, "ユーザ認証", {52, 52, 93, 20}},
        {form.Label4, "ID ", {152, 54, 25, 17}},
        {form.EditUserID, "", {168, 52, 89, 20}},
        {form.Label5, "Password", {260, 54, 57, 17}},
        {form.EditPassword, "", {320, 52, 85, 20}},
        {form.GroupBox1, "実行プロセス", {0, 76, 405, 316}},
        {form.LbPost, "1. 投稿", {8, 16, 45, 21}},
        {form.EditPostAllowed, "", {252, 12, 81, 20}},
        {form.LbGroups, "2. グループリストの取得", {8, 40, 133, 21}},
        {form.EditGroupCount, "", {252, 36, 81, 20}},
        {form.Label11, "groups", {336, 40, 45, 17}},
        {form.LbSpeed, "3. ダウンロード速度の計測", {8, 64, 141, 21}},
        {form.Label7, "平均", {222, 64, 41, 17}},
        {form.EditSpeed, "", {252, 60, 81, 20}},
        {form.Label9, "byte/sec", {338, 64, 63, 17}},
        {form.LbFeed, "4. フィードグループの検証", {8, 88, 141, 17}},
        {form.EditCount[0], "", {324, 84, 73, 20}},
        {form.EditCount[1], "", {324, 106, 73, 20}},
        {form.EditCount[2], "", {324, 128, 73, 20}},
        {form.EditCount[3], "", {324, 150, 73, 20}},
        {form.EditCount[4], "", {324, 174, 73, 20}},
        {form.LbExpire, "5. 保存期間の検証", {8, 204, 109, 21}},
        {form.EditExpire[0], "", {324, 200, 73, 20}},
        {form.EditExpire[1], "", {324, 222, 73, 20}},
        {form.EditExpire[2], "", {324, 244, 73, 20}},
        {form.EditExpire[3], "", {324, 266, 73, 20}},
        {form.EditExpire[4], "", {324, 290, 73, 20}},
        {form.BtnStop, "中止", {88, 396, 75, 25}},
        {form.BtnStart, "開始", {88, 396, 75, 25}},
        {form.BtnCopyToClipboard, "結果をコピー", {168, 396, 75, 25}},
        {form.BtnReport, "結果を報告", {248, 396, 75, 25}},
        {form.BtnEnd, "終了", {328, 396, 75, 25}},
    };
    for (const Expected &e : fixed) {
        QCOMPARE(text(e.control), e.caption);
        QCOMPARE(e.control->geometry(), e.rect);
    }
    // Hierarchy labels are sized to their text and end at 321, just left of the fields.
    const int countTops[] = {88, 110, 132, 152, 176};
    const int expireTops[] = {204, 230, 252, 272, 296};
    const char *names[]
        = {"alt.binaries.pictures.erotica.*", "alt.sex.*", "japan.binaries.pictures.erotica.*",
           "alt.freedom.jbpe.*", "alt.binaries.multimedia.erotica.*"};
    for (int h = 0; h < 5; ++h) {
        for (QLabel *label : {form.CountLabels[h], form.LbExpireItem[h]}) {
            QCOMPARE(label->text(), QString::fromLatin1(names[h]));
            QCOMPARE(label->x() + label->width(), 321);
            QCOMPARE(label->size(), label->sizeHint());
        }
        QCOMPARE(form.CountLabels[h]->y(), countTops[h]);
        QCOMPARE(form.LbExpireItem[h]->y(), expireTops[h]);
    }
}

void TestFormMain::tabOrder()
{
    TFormMain form;
    form.BtnStart->setEnabled(true);
    form.BtnReport->setEnabled(true);
    form.BtnCopyToClipboard->setEnabled(true);
    const QList<QWidget *> expected{
        form.EditAddress,   form.BtnStart,        form.BtnReport,     form.BtnEnd,
        form.ChkUseAuth,    form.EditUserID,      form.EditPassword,  form.EditGroupCount,
        form.EditSpeed,     form.EditCount[0],    form.EditCount[1],  form.EditCount[2],
        form.EditCount[3],  form.EditExpire[0],   form.EditExpire[1], form.EditExpire[2],
        form.EditExpire[3], form.EditPostAllowed, form.EditCount[4],  form.EditExpire[4],
        form.ServerType,    form.BtnStop,         form.EditName,      form.BtnCopyToClipboard};
    auto nextTabStop = [](QWidget *w) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus));
        return w;
    };
    for (int i = 0; i + 1 < expected.size(); ++i)
        QCOMPARE(nextTabStop(expected[i]), expected[i + 1]);
    // Read-only fields take the focus too.
    QVERIFY(form.EditSpeed->focusPolicy() & Qt::TabFocus);
}

void TestFormMain::addressEnablesStart()
{
    TFormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.EditAddress->setFocus();
    QTest::keyClick(form.EditAddress, Qt::Key_A);
    QVERIFY(form.BtnStart->isEnabled());
    QTest::keyClick(form.EditAddress, Qt::Key_Backspace);
    QVERIFY(!form.BtnStart->isEnabled());
    // Blanks are not trimmed away.
    QTest::keyClicks(form.EditAddress, "   ");
    QVERIFY(form.BtnStart->isEnabled());
    form.EditAddress->clear();
    QVERIFY(!form.BtnStart->isEnabled());
}

void TestFormMain::serverTypeRenamesLabel()
{
    TFormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // Changes by program leave the label alone; the user's choice renames it.
    form.ServerType->setCurrentIndex(2);
    QCOMPARE(form.LbName->text(), QStringLiteral("プロバイダ名"));
    form.ServerType->setFocus();
    QTest::keyClick(form.ServerType, Qt::Key_Up);
    QCOMPARE(form.ServerType->currentIndex(), 1);
    QCOMPARE(form.LbName->text(), QStringLiteral("有料サーバ名"));
    QTest::keyClick(form.ServerType, Qt::Key_Down);
    QCOMPARE(form.LbName->text(), QStringLiteral("オープンサーバ名"));
    form.ServerType->setCurrentIndex(0);
    emit form.ServerType->activated(0);
    QCOMPARE(form.LbName->text(), QStringLiteral("プロバイダ名"));
}

void TestFormMain::highlightStep()
{
    TFormMain form;
    form.HighlightStep(form.LbExpire, form.LbExpireItem[2]);
    QVERIFY(isBold(form.LbExpire));
    QVERIFY(isBold(form.LbExpireItem[2]));
    // A bold hierarchy label keeps its right edge and grows to the left.
    QLabel *regular = form.CountLabels[2];
    QCOMPARE(form.LbExpireItem[2]->x() + form.LbExpireItem[2]->width(), 321);
    QCOMPARE(form.LbExpireItem[2]->size(), form.LbExpireItem[2]->sizeHint());
    QVERIFY(form.LbExpireItem[2]->width() >= regular->width());
    form.HighlightStep(form.LbExpire, form.LbExpireItem[3]);
    QVERIFY(isBold(form.LbExpire));
    QVERIFY(isRegular(form.LbExpireItem[2]));
    QCOMPARE(form.LbExpireItem[2]->width(), regular->width());
    QVERIFY(isBold(form.LbExpireItem[3]));
    form.HighlightStep(nullptr, nullptr);
    for (QLabel *label : form.findChildren<QLabel *>())
        QVERIFY(isRegular(label));
    QCOMPARE(form.highlightedStepLabel(), nullptr);
    QCOMPARE(form.highlightedItemLabel(), nullptr);
}

void TestFormMain::accessibleNames()
{
    TFormMain form;
    QCOMPARE(form.EditAddress->accessibleName(), QStringLiteral("アドレス"));
    QCOMPARE(form.EditName->accessibleName(), QStringLiteral("プロバイダ名"));
    QCOMPARE(form.ServerType->accessibleName(), QStringLiteral("種別"));
    QCOMPARE(form.EditUserID->accessibleName(), QStringLiteral("ID"));
    QCOMPARE(form.EditPassword->accessibleName(), QStringLiteral("Password"));
    QCOMPARE(form.EditPostAllowed->accessibleName(), QStringLiteral("1. 投稿"));
    QCOMPARE(form.EditSpeed->accessibleName(), QStringLiteral("平均 byte/sec"));
    QCOMPARE(form.EditCount[1]->accessibleName(),
             QStringLiteral("4. フィードグループの検証 alt.sex.*"));
    QCOMPARE(form.EditExpire[4]->accessibleName(),
             QStringLiteral("5. 保存期間の検証 alt.binaries.multimedia.erotica.*"));
    // Every field has a name of its own.
    QSet<QString> names;
    for (QLineEdit *edit : form.findChildren<QLineEdit *>()) {
        if (edit->parentWidget() == form.ServerType)
            continue;
        QVERIFY(!edit->accessibleName().isEmpty());
        names.insert(edit->accessibleName());
    }
    QCOMPARE(names.size(), 17);
    // The name field is announced by what its label says now.
    form.ServerType->setCurrentIndex(2);
    emit form.ServerType->activated(2);
    QCOMPARE(form.EditName->accessibleName(), QStringLiteral("オープンサーバ名"));
}

void TestFormMain::captionsFit()
{
    // Fixed-size labels and buttons hold their whole caption, bold or not, at any scale:
    // the layout scales with the font, so what fits at 96 dpi fits everywhere.
    TFormMain form;
    form.HighlightStep(form.LbSpeed, nullptr);
    QList<QWidget *> fixed{form.LbName, form.Label23,  form.Label1,  form.Label4,  form.Label5,
                           form.LbPost, form.LbGroups, form.Label11, form.LbSpeed, form.Label7,
                           form.Label9, form.LbFeed,   form.LbExpire};
    for (QWidget *w : fixed) {
        auto *label = static_cast<QLabel *>(w);
        form.HighlightStep(label, nullptr);
        QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                 qPrintable(label->text()));
        QVERIFY2(label->fontMetrics().height() <= label->height(), qPrintable(label->text()));
    }
    for (QPushButton *button : form.findChildren<QPushButton *>())
        QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) + 8 <= button->width(),
                 qPrintable(button->text()));
    for (int i = 0; i < form.ServerType->count(); ++i) {
        const QString name = form.ServerType->itemText(i) + QStringLiteral("名");
        QVERIFY2(form.LbName->fontMetrics().horizontalAdvance(name) <= form.LbName->width(),
                 qPrintable(name));
    }
}

void TestFormMain::errorBoxText()
{
    QCOMPARE(MessageBoxes::errorText(QString()), QString());
    QCOMPARE(MessageBoxes::errorText(QStringLiteral("abc")), QStringLiteral("abc."));
    QCOMPARE(MessageBoxes::errorText(QStringLiteral("done.")), QStringLiteral("done."));
    QCOMPARE(MessageBoxes::errorText(QStringLiteral("what?")), QStringLiteral("what?."));
    QCOMPARE(MessageBoxes::errorText(QStringLiteral("a-")), QStringLiteral("a-"));
    QCOMPARE(MessageBoxes::errorText(QStringLiteral("開けません。")),
             QStringLiteral("開けません。."));

    ModalWatcher watcher;
    MessageBoxes::showError(nullptr, QStringLiteral("'' は整数ではありません"));
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].title, QStringLiteral("ニュースサーバ・ベンチマーク"));
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("'' は整数ではありません."));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(watcher.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void TestFormMain::endButtonQuits()
{
    TFormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    int exitCode = -1;
    QTimer::singleShot(0, [&] { QTest::mouseClick(form.BtnEnd, Qt::LeftButton); });
    QTimer::singleShot(5000, [&] { QCoreApplication::exit(99); });
    exitCode = QCoreApplication::exec();
    QCOMPARE(exitCode, 0);
    QVERIFY(!form.isVisible());
}

QTEST_MAIN(TestFormMain)
#include "tst_formmain.moc"
