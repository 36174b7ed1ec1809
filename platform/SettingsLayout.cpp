#include "platform/SettingsLayout.h"

#include "platform/OemText.h"
#include "platform/SettingsStore.h"

#include <algorithm>

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

WindowSettings readWindow(TSettingsStore& store)
{
    WindowSettings window;
    programKey(store);
    window.height = store.ReadInteger(Settings, Height, window.height);
    window.width = store.ReadInteger(Settings, Width, window.width);
    window.lastSite = store.ReadInteger(Settings, LastSite, window.lastSite);
    const std::string lastName = store.ReadString(Settings, LastSiteName, "");
    window.lastSiteName = QString::fromUtf8(lastName.data(), qsizetype(lastName.size()));
    // Settings the operator sets by hand; a value out of reason reads as the default.
    if (const int lines = store.ReadInteger(Settings, ScrollBack, window.scrollBack); lines >= 100)
        window.scrollBack = lines;
    if (const int seconds = store.ReadInteger(Settings, KeepAlive, window.keepAlive); seconds >= 5)
        window.keepAlive = seconds;
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

} // namespace SettingsLayout
