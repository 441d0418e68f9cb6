#pragma once

// The program's message boxes.
//
// The boxes themselves are widgets and live in ui/; they are installed with
// Tips::setPresenter() at start-up. Without a presenter (command-line tools,
// core tests) info and warning go to the log and question answers No.
// Tips::error composes the box text itself (product header, "An Error
// Occurred." frame, support address) and always sends the error report with
// the bare message as well; presenters show the text they are given.

#include <QString>

class TipsPresenter {
public:
    enum Kind { Information, Warning, Question, Critical };
    virtual ~TipsPresenter() = default;
    // Shows one modal box; returns true when the user answered Yes (Question) or closed it.
    virtual bool show(Kind kind, const QString& text) = 0;
    // The same box with a check box labelled `checkText`; `checked` tells whether it was ticked.
    virtual bool showWithCheckBox(Kind kind, const QString& text, const QString& /*checkText*/, bool& checked) {
        checked = false;
        return show(kind, text);
    }
};

class Tips {
public:
    static void info(const QString& text);
    // An information box with "Don't show this again"; once ticked, the setting
    // `settingKey` keeps the box from being shown again.
    static void infoUnlessDismissed(const QString& text, const QString& settingKey);
    static void warning(const QString& text);
    static bool question(const QString& text);
    static void error(const QString& text);

    static void setPresenter(TipsPresenter* presenter);
    static TipsPresenter* presenter();
};
