#pragma once

// What a scan found in one category of the function lists, largest first, so
// the user sees what a clean removes before it removes it. For the messages
// it is also where the user chooses what Free Up takes: the ticked
// conversations, only their attachments, only messages older than some days.

#include "cleaners/cleandetails.h"
#include "ui/winmovable.h"

#include <QDialog>

class QCheckBox;
class QSpinBox;
class QTreeWidget;

class DetailsDlg : public QDialog {
    Q_OBJECT

public:
    enum class Kind { Messages, Files, Domains, Safari, Calls };

    // A list shows at most this many lines; the rest are counted in a last line.
    static constexpr int kMaxLines = 2000;

    DetailsDlg(Kind kind, const QString& title, const cleandetails::Category& details,
               const cleandetails::MessageSelection& selection = {}, QWidget* parent = nullptr);

    // The messages choice, once accepted.
    cleandetails::MessageSelection selection() const;

public slots:
    void accept() override;

private:
    void addLines(const cleandetails::Category& details, const cleandetails::MessageSelection& selection);

    WinMovable m_movable;
    Kind m_kind;
    QTreeWidget* m_list;
    QCheckBox* m_ckAttachmentsOnly = nullptr;
    QCheckBox* m_ckOlderThan = nullptr;
    QSpinBox* m_spDays = nullptr;
};
