// SPDX-License-Identifier: MIT
#include "Options.h"

#include <climits>

namespace {

const struct {
    const char* prefix;
    QString TOptions::*value;
} textOptions[] = { { "-homedir=", &TOptions::homeDir }, { "-appname=", &TOptions::appName },
    { "-out=", &TOptions::outFileName }, { "-keys=", &TOptions::keysDir },
    { "-state=", &TOptions::stateDir } };

const struct {
    const char* name;
    bool TOptions::*value;
} flagOptions[] = { { "-gui", &TOptions::gui }, { "-check", &TOptions::check },
    { "-no-commit", &TOptions::noCommit }, { "-commit", &TOptions::commit },
    { "-rollback", &TOptions::rollback }, { "-allow-downgrade", &TOptions::allowDowngrade } };

const QLatin1String delayOption("-delay_sec=");

void readDelay(const QString& argument, int& delaySeconds)
{
    bool ok = false;
    const int value = argument.mid(delayOption.size()).toInt(&ok, 10);
    if (ok && value >= 0 && value <= INT_MAX / 1000)
        delaySeconds = value;
}

// False when |argument| is no option.
bool takeOption(const QString& argument, TOptions& options)
{
    for (const auto& option : textOptions) {
        const QLatin1String prefix(option.prefix);
        if (argument.startsWith(prefix)) {
            options.*option.value = argument.mid(prefix.size());
            return true;
        }
    }
    for (const auto& option : flagOptions) {
        if (argument == QLatin1String(option.name)) {
            options.*option.value = true;
            return true;
        }
    }
    if (!argument.startsWith(delayOption))
        return false;
    readDelay(argument, options.delaySeconds);
    return true;
}

} // namespace

TOptions parseOptions(const QStringList& arguments)
{
    TOptions options;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        // The program's own path may begin with "-" as well: it is no option.
        if (!takeOption(argument, options) && i > 0 && argument.startsWith(QLatin1Char('-')))
            options.unknown.append(argument);
    }
    return options;
}
