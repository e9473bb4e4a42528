// One file of an upgrade and the operations that put it in place, remove it and stop the processes
// that run it.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

// Writes |line| and a line end to the run's log, the standard output stream (which the run may
// have redirected into its log file). Nothing is flushed here.
void logLine(const QByteArray& line);

// The path rules of a file under the application's home directory. |homeDir| and |path| are kept
// exactly as given for the paths that messages show; the classification compares cleaned absolute
// forms, so "/opt/app", "/opt/app/" and "." run from /opt/app classify every file alike.
class THomePath {
public:
    THomePath(const QString& homeDir, const QString& path);

    // homeDir + "/" + path, as composed.
    QString target() const { return m_target; }
    // The cleaned absolute form of the home directory.
    QString home() const { return m_home; }
    // True when the cleaned absolute target lies strictly inside the home directory.
    bool isInsideHome() const;
    // Runs as a process: directly in the home directory without suffix, or anywhere under ext/
    // or upgrade/.
    bool isStoppable() const;
    // Gets mode 0775: a stoppable file, or a ".so" or ".sh" file directly in the home directory.
    bool isExecutable() const;

private:
    bool isDirectlyInHome() const;
    bool isUnder(const QString& subdir) const;
    QString homePrefix() const;

    QString m_target;
    QString m_home;
    QString m_absoluteTarget;
    QString m_suffix;
};

class TReadyFile : public QObject {
    Q_OBJECT

public:
    explicit TReadyFile(const QString& path = QString(), QObject* parent = nullptr);
    // Copies keep the source's parent; an assignment never changes the parent.
    TReadyFile(const TReadyFile& other);
    TReadyFile& operator=(const TReadyFile& other);
    ~TReadyFile() override;

    // Sets the file's modification time to |modifiedTime| and its access time to now.
    bool changeFileTime(const QString& filePath);

    // Moves newFileLoc + "/" + path to homeDir + "/" + path through a ".tmp" backup of the
    // installed file. Returns an empty text on success, otherwise the reason of the failure.
    QString deploy(const QString& newFileLoc, const QString& homeDir);

    // Removes homeDir + "/" + path, stopping its processes first when it runs as a process.
    bool removeWithKill(const QString& homeDir);

    // Sends SIGTERM to every process, other than this one, whose name equals the last component
    // of |filePath|. Returns the number of processes signalled, or -1 when the process table
    // cannot be read. |procRoot| is the process table to walk.
    int terminate(const QString& filePath);
    int terminate(const QString& filePath, const QString& procRoot);

    QString path;
    QDateTime modifiedTime;

private:
    void stopProcesses();
};
