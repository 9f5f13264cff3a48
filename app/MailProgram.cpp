#include "MailProgram.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTextStream>

#include <utility>

namespace {

const QString MailtoType = QStringLiteral("x-scheme-handler/mailto");

// The entries of one group of a desktop-style file, with the format's string escapes undone.
QMap<QString, QString> ReadGroup(const QString& path, const QString& group)
{
    QMap<QString, QString> entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return entries;
    QTextStream in(&file);
    bool inGroup = false;
    for (QString line; in.readLineInto(&line);) {
        if (line.startsWith(QLatin1Char('[')))
            inGroup = line.trimmed() == QLatin1Char('[') + group + QLatin1Char(']');
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inGroup || equals < 0 || line.startsWith(QLatin1Char('#')))
            continue;
        QString value;
        const QString raw = line.mid(equals + 1).trimmed();
        for (qsizetype i = 0; i < raw.size(); ++i) {
            const QChar next = i + 1 < raw.size() ? raw[i + 1] : QChar();
            if (raw[i] != QLatin1Char('\\') || next.isNull()) {
                value += raw[i];
                continue;
            }
            const int at = QStringLiteral("sntr\\").indexOf(next);
            value += at >= 0 ? QStringLiteral(" \n\t\r\\")[at] : next;
            ++i;
        }
        entries.insert(line.left(equals).trimmed(), value);
    }
    return entries;
}

QString DesktopFile(const QString& id)
{
    return id.isEmpty() ? QString() : QStandardPaths::locate(QStandardPaths::ApplicationsLocation, id);
}

// The first installed application that a group of these files names for mailto: links.
QString FirstListed(const QStringList& files, const QString& group)
{
    for (const QString& file : files)
        for (const QString& id : ReadGroup(file, group).value(MailtoType).split(QLatin1Char(';')))
            if (!DesktopFile(id.trimmed()).isEmpty())
                return DesktopFile(id.trimmed());
    return {};
}

QString DefaultMailtoApplication()
{
    QStringList folders = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    const QStringList applications = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
    folders += applications;
    QStringList lists;
    for (const QString& folder : folders) {
        for (const QString& desktop : qEnvironmentVariable("XDG_CURRENT_DESKTOP").toLower().split(QLatin1Char(':'), Qt::SkipEmptyParts))
            lists << folder + QLatin1Char('/') + desktop + QStringLiteral("-mimeapps.list");
        lists << folder + QStringLiteral("/mimeapps.list");
    }
    QStringList caches;
    for (const QString& folder : applications)
        caches << folder + QStringLiteral("/mimeinfo.cache");
    for (const auto& [files, group] : {std::pair{lists, QStringLiteral("Default Applications")},
                                       {lists, QStringLiteral("Added Associations")}, {caches, QStringLiteral("MIME Cache")}})
        if (const QString found = FirstListed(files, group); !found.isEmpty())
            return found;
    return {};
}

std::optional<QStringList> DesktopFileCommand(const QString& path)
{
    const QMap<QString, QString> entry = ReadGroup(path, QStringLiteral("Desktop Entry"));
    std::optional<QStringList> command = ExecArguments(entry.value(QStringLiteral("Exec")));
    if (!command || command->isEmpty())
        return std::nullopt;
    // A terminal program (mutt, say) needs a terminal to show in.
    if (entry.value(QStringLiteral("Terminal")) == QLatin1String("true"))
        *command = QStringList{QStringLiteral("x-terminal-emulator"), QStringLiteral("-e")} + *command;
    return command;
}

} // namespace

std::optional<QStringList> ExecArguments(const QString& exec)
{
    QStringList arguments;
    QString argument;
    bool inArgument = false, quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (quoted && c == QLatin1Char('\\') && i + 1 < exec.size() && QStringLiteral("\"`$\\").contains(exec[i + 1]))
            argument += exec[++i];
        else if (c == QLatin1Char('"'))
            quoted = !quoted, inArgument = true;
        else if (c == QLatin1Char(' ') && !quoted) {
            if (std::exchange(inArgument, false))
                arguments << std::exchange(argument, QString());
        } else if (c == QLatin1Char('%') && i + 1 < exec.size()) {
            // A field code stands for what a launcher fills in; started alone, there is nothing.
            if (exec[++i] == QLatin1Char('%'))
                argument += c, inArgument = true;
        } else
            argument += c, inArgument = true;
    }
    if (quoted)
        return std::nullopt;
    if (inArgument)
        arguments << argument;
    return arguments;
}

std::optional<QStringList> MailProgramCommand(const std::string& configured)
{
    if (!configured.empty()) {
        QStringList command = QProcess::splitCommand(QString::fromStdString(configured));
        return command.isEmpty() ? std::nullopt : std::optional(command);
    }
    const QString application = DefaultMailtoApplication();
    return application.isEmpty() ? std::nullopt : DesktopFileCommand(application);
}

bool StartMailProgram(const std::string& configured)
{
    std::optional<QStringList> command = MailProgramCommand(configured);
    if (!command)
        return false;
    const QString program = command->takeFirst();
    return QProcess::startDetached(program, *command);
}
