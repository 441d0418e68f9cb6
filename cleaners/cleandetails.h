#pragma once

// What a scan found, item by item, so the user sees what a clean removes
// before it removes it, and chooses which messages go.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace cleandetails {

// One line of a category's details: a conversation, a file, a domain or app, a site.
struct Item {
    QString id;       // stable across backups of one phone: a conversation's chat guid, a file's "domain-path", ...
    QString label;    // what the user reads: contact handle or group name, file path, domain or app, site
    qint64 bytes = 0; // what a clean of this item alone frees
    qint64 count = 0; // messages of a conversation, visits of a site, files of a domain
    qint64 attachmentCount = 0;
    qint64 attachmentBytes = 0;
    QDateTime last; // the last message or visit; invalid when unknown
};

// The details of one category, as its scan found them.
struct Category {
    QList<Item> items;     // largest first
    qint64 itemCount = 0;  // messages, history items or calls of the whole category
    QDateTime first, last; // their date range; invalid when unknown
    QList<Item> topSites;  // Safari: the most visited sites, most visits first
};

// Which messages a messages clean removes; the default removes all of them.
struct MessageSelection {
    bool attachmentsOnly = false; // the messages stay; their attachment rows and files go
    int olderThanDays = 0;        // > 0: only messages older than this many days
    QStringList conversations;    // not empty: only these conversations (Item::id of the details)
    bool all() const { return !attachmentsOnly && olderThanDays <= 0 && conversations.isEmpty(); }
};

// What a messages clean with a selection removes: the confirmation says it before the clean.
struct MessageSummary {
    qint64 conversations = 0; // removed whole
    qint64 messages = 0;
    qint64 attachments = 0;
    qint64 attachmentBytes = 0;
};

// Widens a category's date range to take in first..last (invalid ends are unknown and change nothing).
inline void widenRange(Category& category, const QDateTime& first, const QDateTime& last) {
    if (first.isValid() && (!category.first.isValid() || first < category.first)) {
        category.first = first;
    }
    if (last.isValid() && (!category.last.isValid() || last > category.last)) {
        category.last = last;
    }
}

// Largest first; equal sizes by label, so the order is the same on every run.
inline void sortLargestFirst(QList<Item>& items) {
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.label < b.label;
    });
}

} // namespace cleandetails
