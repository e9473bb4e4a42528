// SPDX-License-Identifier: MIT
// The controller of one upgrade run: reads the options and the two documents, puts the new files in
// place, removes the listed ones and restarts the application.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <fstream>
#include <streambuf>

class TReadyFile;

class TUpgradeDeploy : public QObject {
    Q_OBJECT

public:
    explicit TUpgradeDeploy(QObject* parent = nullptr);

    // Ends every run: reports |message| as the error when it is not empty, restarts the
    // application, restores the standard output, closes the log and asks the event loop to exit
    // with 0, or 1 when |message| is not empty.
    void response(const QString& message);

    // Reads homeDir + "/conf.json" into newFileLoc, newFileDesc and restartProgName. On false,
    // errorMsg holds the reason.
    bool loadConfig();

    // Reads the file-description document at newFileDesc and appends its records and removal
    // entries to the lists. On false, errorMsg holds the reason, or is empty when the document
    // does not exist.
    bool loadDeployFiles(QList<TReadyFile>& files, QStringList& removeList);

    std::streambuf* oldCoutBuf;
    std::ofstream logFile;
    QString errorMsg;
    QString homeDir;
    QString appName;
    QString outFileName;
    QString newFileLoc;
    QString newFileDesc;
    QString restartProgName;

public slots:
    // The whole upgrade run; called once by the start-up timer.
    void start();

private:
    void readOptions();
    void openLog(bool& failed);
    void deployFiles(QList<TReadyFile>& files);
    void removeFiles(const QStringList& removeList);
    void removeStateFile(const QString& filePath);
    void removeDescription();
    void restart();
    void restartProgram();
    void restartApplication(const QString& name, QStringList& arguments);
    bool readDocument(const QString& fileName, QString& text);
};
