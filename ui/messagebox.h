#pragma once

// The program's message boxes, and the hook that lets tests answer them.
//
// g_showMessageBox() builds a frameless, styled, draggable box titled with the
// product display name; MessageBoxPresenter is the TipsPresenter that main()
// installs, so Tips::info/warning/question/error end up here.
//
// Test hook
// ---------
// Modal windows would wait for a human. Once any of the static hook functions
// below is called, an application-wide event filter watches every QMessageBox
// and QDialog that is shown (by this file or by anyone else) and:
//  - records the text of every message box in shownTexts() (and the object
//    name of every other dialog in shownDialogs());
//  - answers a message box with the next queued answer (setNextAnswers()):
//    a standard button, or the text of a custom button such as "Download now";
//    the text of the box's check box ticks it and takes the next answer;
//  - with auto answer on and the queue empty, presses Yes, else OK, else the
//    escape button, else the first button;
//  - hands any other QDialog whose objectName has a handler
//    (setDialogHandler()) to that handler once it is shown, e.g. to fill
//    "txtPasscode" and press "btnOK" of PasscodeDlg. Dialogs without a handler
//    (the progress dialog) are left alone.
// Answers are given from the dialog's own event loop, so exec() returns as if
// a user had clicked. Every answered box is also logged ("box answered ...").
//
// Example:
//     MessageBoxPresenter::setNextAnswers({QMessageBox::Yes});
//     bool yes = Tips::question("Delete?");           // true, no human needed
//     QCOMPARE(MessageBoxPresenter::shownTexts().last(), "Delete?");
//
// The program itself enables auto answer when VEXLAR_TEST_AUTOANSWER is set
// (main calls installTestHookFromEnvironment()): "1" answers every box with
// the default above; a comma-separated list ("No,OK,Download later") is used
// first, in order.

#include "app/tips.h"

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <functional>

class QCheckBox;
class QDialog;

// Shows a modal box with the buttons of `buttons` (added in the order Yes, No,
// OK, Cancel) and returns the standard button pressed.
// With `checkBox`, the box shows it below the text (the caller keeps ownership).
int g_showMessageBox(QMessageBox::Icon icon, const QString& text, int buttons, QCheckBox* checkBox = nullptr);

class MessageBoxPresenter final : public TipsPresenter {
public:
    // May be called from any thread; the box is shown on the GUI thread.
    bool show(Kind kind, const QString& text) override;
    bool showWithCheckBox(Kind kind, const QString& text, const QString& checkText, bool& checked) override;

    // ---- Test hook (see above) ----
    struct Answer {
        Answer(QMessageBox::StandardButton b) : button(b) {}
        Answer(const QString& text) : buttonText(text) {}
        Answer(const char* text) : buttonText(QString::fromUtf8(text)) {}
        QMessageBox::StandardButton button = QMessageBox::NoButton;
        QString buttonText; // a custom button's text, without "&"
    };
    static void setNextAnswers(const QList<Answer>& answers);
    static qsizetype pendingAnswers();
    static void setAutoAnswer(bool on);
    static void setDialogHandler(const QString& objectName, std::function<void(QDialog*)> handler);
    static QStringList shownTexts();
    static QStringList shownDialogs();
    // Forgets answers, handlers and records; auto answer off.
    static void resetTestHook();
    // Reads VEXLAR_TEST_AUTOANSWER (see above); does nothing when unset.
    static void installTestHookFromEnvironment();
};
