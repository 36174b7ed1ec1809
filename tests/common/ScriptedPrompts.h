#pragma once

// A prompts service for GUI tests: it records every question, notice and error box, and answers from a script
// instead of waiting for a person. An unscripted question answers No / Cancel.

#include "gui/Prompts.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <deque>

class ScriptedPrompts : public TPrompts {
public:
    ScriptedPrompts() { SetPrompts(this); }
    ~ScriptedPrompts() override { SetPrompts(nullptr); }

    // Answers for the next confirmations and input boxes, in order.
    std::deque<bool> confirmAnswers;
    std::deque<QString> inputAnswers;      // a null QString means Cancel
    std::deque<QString> passwordAnswers;   // a null QString (or none left) means Cancel
    std::deque<TTrustAnswer> trustAnswers; // none left: Refuse
    bool realTrustDialog = false;          // the trust question goes to the real dialog instead

    QStringList confirms;
    QStringList inputs; // "caption|prompt|default"
    QStringList notices;
    QStringList errors;
    QStringList passwords; // "caption|prompt"
    QList<TTrustQuestion> trusts;

    bool Confirm(const QString& text) override
    {
        confirms << text;
        if (confirmAnswers.empty())
            return false;
        const bool yes = confirmAnswers.front();
        confirmAnswers.pop_front();
        return yes;
    }
    QString InputBox(const QString& caption, const QString& prompt, const QString& defaultText) override
    {
        inputs << caption + '|' + prompt + '|' + defaultText;
        if (inputAnswers.empty())
            return defaultText;
        const QString answer = inputAnswers.front();
        inputAnswers.pop_front();
        return answer.isNull() ? defaultText : answer;
    }
    void Notice(const QString& text) override { notices << text; }
    void ErrorBox(const QString& text) override { errors << text; }
    QString Password(const QString& caption, const QString& prompt) override
    {
        passwords << caption + '|' + prompt;
        if (passwordAnswers.empty())
            return QString();
        const QString answer = passwordAnswers.front();
        passwordAnswers.pop_front();
        return answer;
    }
    TTrustAnswer TrustCertificate(const TTrustQuestion& question) override
    {
        trusts << question;
        if (realTrustDialog)
            return TDialogPrompts().TrustCertificate(question);
        if (trustAnswers.empty())
            return TTrustAnswer::Refuse;
        const TTrustAnswer answer = trustAnswers.front();
        trustAnswers.pop_front();
        return answer;
    }
};
