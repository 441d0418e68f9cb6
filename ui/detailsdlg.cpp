#include "ui/detailsdlg.h"

#include "app/paths.h"
#include "app/tips.h"
#include "ui/stylesheet.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

using cleandetails::Item;

namespace {

constexpr int kDefaultDays = 30;
constexpr int kMaxDays = 36500;

QString when(const QDateTime& moment) {
    return moment.isValid() ? QLocale().toString(moment.toLocalTime(), QLocale::ShortFormat) : QString();
}

QString number(qint64 n) {
    return QLocale().toString(n);
}

} // namespace

DetailsDlg::DetailsDlg(Kind kind, const QString& title, const cleandetails::Category& details,
                       const cleandetails::MessageSelection& selection, QWidget* parent)
    : QDialog(parent), m_movable(this), m_kind(kind), m_list(new QTreeWidget(this)) {
    setObjectName(QStringLiteral("DetailsDlg"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    setMinimumSize(600, 400);

    auto* lbTitle = new QLabel(tr("%1: what a clean removes").arg(title), this);
    lbTitle->setObjectName(QStringLiteral("lbTitle"));
    lbTitle->setTextFormat(Qt::PlainText);

    const QString range = details.first.isValid() && details.last.isValid()
                              ? tr(", from %1 to %2").arg(when(details.first), when(details.last))
                              : QString();
    qint64 bytes = 0;
    for (const Item& item : details.items) {
        bytes += item.bytes;
    }
    const QString count = number(details.items.size());
    QString summary;
    switch (kind) {
    case Kind::Messages:
        summary = tr("%1 conversations, %2 messages%3.").arg(count, number(details.itemCount), range);
        break;
    case Kind::Files:
        summary = tr("%1 files, %2.").arg(count, formatSpaceShow(bytes));
        break;
    case Kind::Domains:
        summary = tr("%1 domains and apps, %2.").arg(count, formatSpaceShow(bytes));
        break;
    case Kind::Safari:
        summary = tr("%1 history items%2. The most visited sites:").arg(number(details.itemCount), range);
        break;
    case Kind::Calls:
        summary = tr("%1 calls%2.").arg(number(details.itemCount), range);
        break;
    }
    auto* lbSummary = new QLabel(summary, this);
    lbSummary->setObjectName(QStringLiteral("lbSummary"));
    lbSummary->setTextFormat(Qt::PlainText);
    lbSummary->setWordWrap(true);

    m_list->setObjectName(QStringLiteral("listDetails"));
    m_list->setRootIsDecorated(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    addLines(details, selection);
    m_list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_list->header()->setStretchLastSection(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lbTitle);
    layout->addWidget(lbSummary);
    layout->addWidget(m_list, 1);

    if (kind != Kind::Messages) {
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
        layout->addWidget(buttons);
        connect(buttons, &QDialogButtonBox::rejected, this, &DetailsDlg::reject);
        return;
    }
    m_ckAttachmentsOnly = new QCheckBox(tr("Only attachments: the messages themselves stay"), this);
    m_ckAttachmentsOnly->setObjectName(QStringLiteral("ckAttachmentsOnly"));
    m_ckAttachmentsOnly->setChecked(selection.attachmentsOnly);
    m_ckOlderThan = new QCheckBox(tr("Only messages older than"), this);
    m_ckOlderThan->setObjectName(QStringLiteral("ckOlderThan"));
    m_ckOlderThan->setChecked(selection.olderThanDays > 0);
    m_spDays = new QSpinBox(this);
    m_spDays->setObjectName(QStringLiteral("spOlderThanDays"));
    m_spDays->setRange(1, kMaxDays);
    m_spDays->setValue(selection.olderThanDays > 0 ? selection.olderThanDays : kDefaultDays);
    m_spDays->setSuffix(tr(" days"));
    m_spDays->setEnabled(m_ckOlderThan->isChecked());
    connect(m_ckOlderThan, &QCheckBox::toggled, m_spDays, &QSpinBox::setEnabled);
    auto* older = new QHBoxLayout;
    older->addWidget(m_ckOlderThan);
    older->addWidget(m_spDays);
    older->addStretch(1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(new QLabel(tr("Free Up removes the ticked conversations:"), this));
    layout->addWidget(m_ckAttachmentsOnly);
    layout->addLayout(older);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &DetailsDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DetailsDlg::reject);
}

void DetailsDlg::addLines(const cleandetails::Category& details, const cleandetails::MessageSelection& selection) {
    QStringList headers;
    switch (m_kind) {
    case Kind::Messages:
        headers = {tr("Conversation"), tr("Messages"), tr("Attachments"), tr("Size"), tr("Last message")};
        break;
    case Kind::Files:
    case Kind::Calls: // the call databases the clean empties
        headers = {tr("File"), tr("Size")};
        break;
    case Kind::Domains:
        headers = {tr("Domain or app"), tr("Files"), tr("Size")};
        break;
    case Kind::Safari:
        headers = {tr("Site"), tr("Visits")};
        break;
    }
    m_list->setHeaderLabels(headers);

    QList<Item> items = m_kind == Kind::Safari ? details.topSites : details.items;
    if (m_kind == Kind::Safari) {
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.count > b.count; });
    } else {
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.bytes > b.bytes; });
    }
    // Every conversation stays listed: one left out could be neither kept nor chosen.
    const qsizetype shown = m_kind == Kind::Messages ? items.size() : qMin<qsizetype>(items.size(), kMaxLines);
    for (qsizetype i = 0; i < shown; ++i) {
        const Item& item = items.at(i);
        QStringList cells;
        switch (m_kind) {
        case Kind::Messages:
            cells = {item.label, number(item.count),
                     tr("%1 (%2)").arg(number(item.attachmentCount), formatSpaceShow(item.attachmentBytes)),
                     formatSpaceShow(item.bytes), when(item.last)};
            break;
        case Kind::Files:
        case Kind::Calls:
            cells = {item.label, formatSpaceShow(item.bytes)};
            break;
        case Kind::Domains:
            cells = {item.label, number(item.count), formatSpaceShow(item.bytes)};
            break;
        case Kind::Safari:
            cells = {item.label, number(item.count)};
            break;
        }
        auto* line = new QTreeWidgetItem(m_list, cells);
        for (int column = 1; column < cells.size(); ++column) {
            line->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
        if (m_kind == Kind::Messages) {
            line->setData(0, Qt::UserRole, item.id);
            line->setFlags(line->flags() | Qt::ItemIsUserCheckable);
            const bool ticked = selection.conversations.isEmpty() || selection.conversations.contains(item.id);
            line->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
        }
    }
    if (shown < items.size()) {
        new QTreeWidgetItem(m_list, {tr("…and %1 more").arg(number(items.size() - shown))});
    }
}

cleandetails::MessageSelection DetailsDlg::selection() const {
    cleandetails::MessageSelection chosen;
    if (m_kind != Kind::Messages) {
        return chosen;
    }
    chosen.attachmentsOnly = m_ckAttachmentsOnly->isChecked();
    chosen.olderThanDays = m_ckOlderThan->isChecked() ? m_spDays->value() : 0;
    bool every = true;
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* line = m_list->topLevelItem(i);
        if (line->checkState(0) == Qt::Checked) {
            chosen.conversations << line->data(0, Qt::UserRole).toString();
        } else {
            every = false;
        }
    }
    // Every conversation ticked is the default, which also takes those a later backup brings.
    if (every) {
        chosen.conversations.clear();
    }
    return chosen;
}

void DetailsDlg::accept() {
    // An empty list of conversations means all of them: none ticked must not turn into every one.
    if (m_kind == Kind::Messages && m_list->topLevelItemCount() > 0 && selection().conversations.isEmpty() &&
        m_list->topLevelItem(0)->checkState(0) != Qt::Checked) {
        Tips::warning(tr("Tick at least one conversation, or uncheck Messages in the list to keep them all."));
        return;
    }
    QDialog::accept();
}
