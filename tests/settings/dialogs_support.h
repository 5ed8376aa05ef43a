#pragma once
// Driving the settings dialogs as a person would: lists are opened with the
// mouse and an entry clicked, buttons are clicked, modal windows are handled
// by code queued before the action that opens them.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>
#include <string>

#include "app/GuiTestUtil.h"
#include "settings/CPortSetup.h"

namespace dlgtest {

inline void Click(QAbstractButton* button) {
    ASSERT_TRUE(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
}

// Opens the list with the mouse, walks to the entry with the arrow keys and
// takes it with Enter.
inline void ChooseEntry(QComboBox* combo, const QString& text) {
    const int index = combo->findText(text, Qt::MatchFixedString);
    ASSERT_GE(index, 0) << text.toStdString();
    QTest::mouseClick(combo, Qt::LeftButton);
    QAbstractItemView* view = combo->view();
    ASSERT_TRUE(gui::WaitFor([view] { return view->isVisible(); }));
    if (!view->currentIndex().isValid()) QTest::keyClick(view, Qt::Key_Home);
    while (view->currentIndex().row() < index)
        QTest::keyClick(view, Qt::Key_Down);
    while (view->currentIndex().row() > index)
        QTest::keyClick(view, Qt::Key_Up);
    QTest::keyClick(view, Qt::Key_Return);
    ASSERT_TRUE(gui::WaitFor([view] { return !view->isVisible(); }));
    ASSERT_EQ(combo->currentText(), text);
}

// Replaces an edit's text by typing.
inline void Type(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// Hands the active modal window to fn once it is a T (up to 5 s); modal
// windows opened over others are found this way.
template <class T> void WhenModalOf(std::function<void(T*)> fn) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn, clock] {
        T* w = dynamic_cast<T*>(QApplication::activeModalWidget());
        if ((!w || !w->isVisible()) && clock->elapsed() < 5000) return;
        timer->stop();
        timer->deleteLater();
        if (w)
            fn(w);
        else
            ADD_FAILURE() << "no modal window of the expected kind";
    });
    timer->start();
}

// Every label of the advanced dialog shows its whole text, ends clear of its
// list (a few pixels between), and every list lies inside the group box.
inline void ExpectLabelsClearOfTheirLists(TComSetupFrm* dlg) {
    const std::pair<QLabel*, QComboBox*> rows[] = {{dlg->Label1, dlg->Combo1}, {dlg->Label2, dlg->Combo2},
                                                   {dlg->Label3, dlg->Combo3}, {dlg->Label4, dlg->Combo4},
                                                   {dlg->Label5, dlg->Combo5}, {dlg->Label6, dlg->Combo6}};
    for (const auto& [label, combo] : rows) {
        const int textEnd = label->x() + label->fontMetrics().horizontalAdvance(label->text());
        EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        EXPECT_LE(textEnd + 4, combo->x()) << label->text().toStdString();
        EXPECT_LE(combo->geometry().right(), dlg->GroupBox1->contentsRect().right())
            << label->text().toStdString();
    }
    EXPECT_LE(dlg->GroupBox1->geometry().right(), dlg->width() - 1);
    EXPECT_LE(dlg->sbCancel->geometry().right(), dlg->width() - 1);
}

// Closes a window with its close box.
inline void CloseBox(QWidget* window) {
    window->close();
}

} // namespace dlgtest
