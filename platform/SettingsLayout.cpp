#include "platform/SettingsLayout.h"

#include "platform/Decimal.h"
#include "platform/OemText.h"
#include "platform/SettingsStore.h"

#include <algorithm>
#include <tuple>

namespace SettingsLayout {

namespace {

// Every reader and writer below starts from the program key, wherever the store was left positioned.
TSettingsStore& programKey(TSettingsStore& store)
{
    if (!openProgramKey(store, false))
        throw EStoreError("The program key is missing from the settings store " + store.path());
    return store;
}

} // namespace

bool openProgramKey(TSettingsStore& store, bool create)
{
    store.CloseKey();
    return store.OpenKey(ProgramKey, create);
}

QStringList readCommands(TSettingsStore& store)
{
    TSettingsStore::ValueList values;
    programKey(store).ReadSectionValues(CustomCommands, values);
    QStringList commands;
    for (const auto& [name, text] : values)
        commands << Latin1ToQString(text);
    return commands;
}

void writeCommands(TSettingsStore& store, const QStringList& commands)
{
    programKey(store).transaction([&] {
        store.EraseSection(CustomCommands);
        for (qsizetype i = 0; i < commands.size(); ++i) {
            if (!commands[i].isEmpty())
                store.WriteString(CustomCommands, CommandPrefix + std::to_string(i), QStringToLatin1(commands[i]));
        }
    });
}

namespace {

// A stored text as a note quotes it: at most 40 characters, control characters as "?".
std::string quoted(const std::string& text)
{
    std::string shown = text.size() > 40 ? text.substr(0, 40) + "..." : text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            c = '?';
    return shown;
}

// A number within bounds, whatever the stored text: digits beyond 32 bits are held at the nearer 32-bit bound, which
// lies beyond every bound here, rather than wrapped.
BoundedValue boundedNumber(const std::string& text, int fallback, const Bounds& bounds, const std::string& what)
{
    const DecimalRead read = readDecimal(text, DecimalSigns::MinusOnly); // as the store writes a number
    const bool digits = read.outcome != DecimalRead::NoNumber;
    const long long number = read.value;
    const std::string used = " " + std::string(bounds.unit) + " are used.";
    if (!digits)
        return {fallback, what + " \"" + quoted(text) + "\" is not a number: " + std::to_string(fallback) + used};
    const std::string outside = what + " " + quoted(text) + " is outside " + std::to_string(bounds.low) + " to " +
                                std::to_string(bounds.high) + " " + bounds.unit + ": ";
    if (number < bounds.low)
        return {bounds.belowReadsAs, outside + std::to_string(bounds.belowReadsAs) + used};
    if (number > bounds.high)
        return {bounds.high, outside + std::to_string(bounds.high) + used};
    return {int(number), std::string()};
}

} // namespace

BoundedValue readBounded(TSettingsStore& store, const std::string& section, const std::string& name, int fallback,
                         const Bounds& bounds, const std::string& what)
{
    const std::string text = store.ReadString(section, name, std::string());
    if (text.empty())
        return {fallback, std::string()};
    return boundedNumber(text, fallback, bounds, what);
}

WindowSettings readWindow(TSettingsStore& store, QStringList* notes)
{
    WindowSettings window;
    programKey(store);
    window.height = store.ReadInteger(Settings, Height, window.height);
    window.width = store.ReadInteger(Settings, Width, window.width);
    window.lastSite = store.ReadInteger(Settings, LastSite, window.lastSite);
    const std::string lastName = store.ReadString(Settings, LastSiteName, "");
    window.lastSiteName = QString::fromUtf8(lastName.data(), qsizetype(lastName.size()));
    // Settings the operator sets by hand, read within their bounds.
    for (auto [name, value, bounds] : {std::tuple{ScrollBack, &window.scrollBack, &ScrollBackBounds},
                                       std::tuple{KeepAlive, &window.keepAlive, &KeepAliveBounds}}) {
        BoundedValue read = readBounded(store, Settings, name, *value, *bounds, std::string("The setting ") + name);
        *value = read.value;
        if (!read.note.empty() && notes)
            *notes << QString::fromStdString(read.note);
    }
    window.sessionLog = store.ReadString(Settings, SessionLog, "") == "1";
    return window;
}

void writeWindow(TSettingsStore& store, const WindowSettings& window)
{
    programKey(store);
    store.WriteInteger(Settings, Height, window.height);
    store.WriteInteger(Settings, Width, window.width);
    store.WriteInteger(Settings, LastSite, window.lastSite);
    store.WriteString(Settings, LastSiteName, window.lastSiteName.toUtf8().toStdString());
    store.WriteInteger(Settings, ScrollBack, window.scrollBack);
    store.WriteInteger(Settings, KeepAlive, window.keepAlive);
    store.WriteString(Settings, SessionLog, window.sessionLog ? "1" : "0");
}

void writeLastSite(TSettingsStore& store, int position, const QString& name)
{
    if (!openProgramKey(store, true))
        throw EStoreError("The program key cannot be created in the settings store " + store.path());
    store.WriteInteger(Settings, LastSite, position);
    store.WriteString(Settings, LastSiteName, name.toUtf8().toStdString());
}

int readRunJobs(TSettingsStore& store)
{
    if (!openProgramKey(store, false))
        return 8;
    return std::clamp(store.ReadInteger(Settings, RunJobs, 8), 1, 64);
}

int readHealthEvery(TSettingsStore& store)
{
    if (!openProgramKey(store, false))
        return 0;
    return std::clamp(store.ReadInteger(Settings, HealthEvery, 0), 0, 1440);
}

void writeHealthEvery(TSettingsStore& store, int minutes)
{
    if (!openProgramKey(store, true))
        throw EStoreError("The program key cannot be created in the settings store " + store.path());
    store.WriteInteger(Settings, HealthEvery, std::clamp(minutes, 0, 1440));
}

} // namespace SettingsLayout
