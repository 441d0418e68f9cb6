#include "ui/messagebox.h"

#include "app/errreport.h"
#include "ui/stylesheet.h"
#include "ui/winmovable.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QHash>
#include <QLoggingCategory>
#include <QPointer>
#include <QThread>
#include <QTimer>

Q_LOGGING_CATEGORY(lcBox, "vexlar.ui.box")

namespace {

class ModalHook final : public QObject {
public:
    QList<MessageBoxPresenter::Answer> answers;
    bool autoAnswer = false;
    QHash<QString, std::function<void(QDialog*)>> handlers;
    QStringList texts;
    QStringList dialogs;

    static ModalHook* instance() {
        static ModalHook* hook = nullptr;
        if (!hook) {
            hook = new ModalHook;
            if (QCoreApplication* app = QCoreApplication::instance()) {
                hook->setParent(app);
                app->installEventFilter(hook);
                QObject::connect(app, &QObject::destroyed, [] { hook = nullptr; });
            }
        }
        return hook;
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            if (auto* box = qobject_cast<QMessageBox*>(watched)) {
                texts.append(box->text());
                if (!answers.isEmpty() || autoAnswer) {
                    QTimer::singleShot(0, box, [this, box] { answer(box); });
                }
            } else if (auto* dialog = qobject_cast<QDialog*>(watched)) {
                dialogs.append(dialog->objectName());
                const auto handler = handlers.constFind(dialog->objectName());
                if (handler != handlers.constEnd()) {
                    QPointer<QDialog> guard(dialog);
                    auto call = *handler;
                    QTimer::singleShot(0, dialog, [guard, call] {
                        if (guard && guard->isVisible()) {
                            call(guard.data());
                        }
                    });
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static QString plain(QString text) { return text.remove(QLatin1Char('&')); }

    void answer(QMessageBox* box) {
        if (!box->isVisible()) {
            return;
        }
        QAbstractButton* chosen = nullptr;
        if (!answers.isEmpty()) {
            const MessageBoxPresenter::Answer a = answers.takeFirst();
            if (box->checkBox() && a.button == QMessageBox::NoButton &&
                plain(box->checkBox()->text()) == plain(a.buttonText)) {
                box->checkBox()->setChecked(true);
                answer(box);
                return;
            }
            if (a.button != QMessageBox::NoButton) {
                chosen = box->button(a.button);
            } else {
                const QList<QAbstractButton*> buttons = box->buttons();
                for (QAbstractButton* b : buttons) {
                    if (plain(b->text()) == plain(a.buttonText)) {
                        chosen = b;
                        break;
                    }
                }
            }
            if (!chosen) {
                qCWarning(lcBox).noquote() << "queued answer does not fit the box; closing it:" << box->text();
                box->reject();
                return;
            }
        } else {
            chosen = box->button(QMessageBox::Yes);
            if (!chosen) {
                chosen = box->button(QMessageBox::Ok);
            }
            if (!chosen) {
                chosen = box->escapeButton();
            }
            if (!chosen && !box->buttons().isEmpty()) {
                chosen = box->buttons().constFirst();
            }
            if (!chosen) {
                box->reject();
                return;
            }
        }
        qCInfo(lcBox).noquote() << "box answered" << plain(chosen->text()) << ":" << box->text();
        chosen->click();
    }
};

} // namespace

int g_showMessageBox(QMessageBox::Icon icon, const QString& text, int buttons, QCheckBox* checkBox) {
    QMessageBox box(icon, prodDisplayName(), text, QMessageBox::NoButton, nullptr);
    box.setCheckBox(checkBox);
    WinMovable movable(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(getStyleSheet());
    box.setTextInteractionFlags(Qt::TextBrowserInteraction);
    for (const QMessageBox::StandardButton b :
         {QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Cancel}) {
        if (buttons & b) {
            box.addButton(b);
        }
    }
    qCInfo(lcBox).noquote() << "box:" << text;
    const int pressed = box.exec();
    // The box would delete the check box it holds; it belongs to the caller.
    box.setCheckBox(nullptr);
    return pressed;
}

bool MessageBoxPresenter::show(Kind kind, const QString& text) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        // Widgets live on the GUI thread; a worker calling Tips waits for the answer.
        bool result = false;
        QMetaObject::invokeMethod(
            app, [&] { result = show(kind, text); }, Qt::BlockingQueuedConnection);
        return result;
    }
    switch (kind) {
    case Information:
        g_showMessageBox(QMessageBox::Information, text, QMessageBox::Ok);
        return true;
    case Warning:
        g_showMessageBox(QMessageBox::Warning, text, QMessageBox::Ok);
        return true;
    case Question:
        return g_showMessageBox(QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    case Critical:
        g_showMessageBox(QMessageBox::Critical, text, QMessageBox::Ok);
        return true;
    }
    return false;
}

bool MessageBoxPresenter::showWithCheckBox(Kind kind, const QString& text, const QString& checkText, bool& checked) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread()) {
        bool result = false;
        QMetaObject::invokeMethod(
            app, [&] { result = showWithCheckBox(kind, text, checkText, checked); }, Qt::BlockingQueuedConnection);
        return result;
    }
    static constexpr QMessageBox::Icon kIcons[] = {QMessageBox::Information, QMessageBox::Warning,
                                                   QMessageBox::Question, QMessageBox::Critical};
    QCheckBox checkBox(checkText);
    checkBox.setObjectName(QStringLiteral("ckDontShowAgain"));
    const int buttons = kind == Question ? QMessageBox::Yes | QMessageBox::No : int(QMessageBox::Ok);
    const int pressed = g_showMessageBox(kIcons[kind], text, buttons, &checkBox);
    checked = checkBox.isChecked();
    return kind != Question || pressed == QMessageBox::Yes;
}

void MessageBoxPresenter::setNextAnswers(const QList<Answer>& answers) {
    ModalHook::instance()->answers = answers;
}

qsizetype MessageBoxPresenter::pendingAnswers() {
    return ModalHook::instance()->answers.size();
}

void MessageBoxPresenter::setAutoAnswer(bool on) {
    ModalHook::instance()->autoAnswer = on;
}

void MessageBoxPresenter::setDialogHandler(const QString& objectName, std::function<void(QDialog*)> handler) {
    if (handler) {
        ModalHook::instance()->handlers.insert(objectName, std::move(handler));
    } else {
        ModalHook::instance()->handlers.remove(objectName);
    }
}

QStringList MessageBoxPresenter::shownTexts() {
    return ModalHook::instance()->texts;
}

QStringList MessageBoxPresenter::shownDialogs() {
    return ModalHook::instance()->dialogs;
}

void MessageBoxPresenter::resetTestHook() {
    ModalHook* hook = ModalHook::instance();
    hook->answers.clear();
    hook->autoAnswer = false;
    hook->handlers.clear();
    hook->texts.clear();
    hook->dialogs.clear();
}

void MessageBoxPresenter::installTestHookFromEnvironment() {
    const QString value = qEnvironmentVariable("VEXLAR_TEST_AUTOANSWER").trimmed();
    if (value.isEmpty()) {
        return;
    }
    QList<Answer> answers;
    if (value != QLatin1String("1")) {
        const QStringList names = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString& raw : names) {
            const QString name = raw.trimmed();
            if (name == QLatin1String("Yes")) {
                answers.append(QMessageBox::Yes);
            } else if (name == QLatin1String("No")) {
                answers.append(QMessageBox::No);
            } else if (name == QLatin1String("OK")) {
                answers.append(QMessageBox::Ok);
            } else if (name == QLatin1String("Cancel")) {
                answers.append(QMessageBox::Cancel);
            } else {
                answers.append(name);
            }
        }
    }
    setNextAnswers(answers);
    setAutoAnswer(true);
    qCInfo(lcBox) << "message boxes are answered automatically";
}
