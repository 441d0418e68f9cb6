#include "app/tips.h"

#include "app/errreport.h"
#include "app/paths.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSettings>
#include <atomic>

Q_LOGGING_CATEGORY(lcTips, "vexlar.tips")

namespace {
std::atomic<TipsPresenter*> g_presenter{nullptr};

bool present(TipsPresenter::Kind kind, const QString& text) {
    if (TipsPresenter* presenter = g_presenter.load()) {
        return presenter->show(kind, text);
    }
    qCWarning(lcTips).noquote() << text;
    return false;
}
} // namespace

void Tips::info(const QString& text) {
    present(TipsPresenter::Information, text);
}

void Tips::infoUnlessDismissed(const QString& text, const QString& settingKey) {
    QSettings settings(g_settingsFilePath(), QSettings::IniFormat);
    TipsPresenter* presenter = g_presenter.load();
    if (settings.value(settingKey).toBool() || !presenter) {
        qCDebug(lcTips).noquote() << text;
        return;
    }
    bool dismissed = false;
    presenter->showWithCheckBox(TipsPresenter::Information, text,
                                QCoreApplication::translate("Tips", "Don't show this again"), dismissed);
    if (dismissed) {
        settings.setValue(settingKey, true);
    }
}

void Tips::warning(const QString& text) {
    present(TipsPresenter::Warning, text);
}

bool Tips::question(const QString& text) {
    return present(TipsPresenter::Question, text);
}

void Tips::error(const QString& text) {
    // The presenter shows the composed box text; the report carries the bare message.
    present(TipsPresenter::Critical, errBoxText(text));
    report_err(text);
}

void Tips::setPresenter(TipsPresenter* presenter) {
    g_presenter.store(presenter);
}

TipsPresenter* Tips::presenter() {
    return g_presenter.load();
}
