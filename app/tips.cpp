#include "app/tips.h"

#include "app/errreport.h"

#include <QLoggingCategory>
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
