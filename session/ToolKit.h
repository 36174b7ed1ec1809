#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>

// What the engine's command-line programs (kolvane-run, kolvane-health) share: how an option is written, and how
// Ctrl-C and SIGTERM end a run while the sites' sessions wait in the event loop.
namespace ToolKit {

// One word of the command line read as an option: "--name=value" gives its value in the same word; "-x", "--name"
// and a word with "=" after a single dash stand alone.
struct Option {
    QString name;
    std::optional<QString> value;
};
Option option(const QString& word);

} // namespace ToolKit

// Ctrl-C and SIGTERM, caught by a handler that only notes the signal and told on the event loop: the first calls
// first(signal) and starts the grace; the grace's end, or a second signal, calls graceOver(). One a program.
class TToolSignals : public QObject {
public:
    TToolSignals(std::function<void(int signal)> first, int graceMs, std::function<void()> graceOver);
    ~TToolSignals() override;

    // The first signal caught (SIGINT or SIGTERM), 0 while none came.
    int caught() const { return first_; }

private:
    std::function<void(int)> onFirst_;
    std::function<void()> graceOver_;
    int graceMs_;
    int first_ = 0;
    QTimer poll_;
    QTimer grace_;
};
