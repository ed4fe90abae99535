#pragma once

#include <QMap>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The logs as the user saw them in the report-contents window, scrubbed: for a log's path, the
// private file that holds exactly the bytes shown, and how many replacements were made in it.
// Packing takes these files as they are, so what was shown is what is sent. The files go with
// the last copy of the record.
struct ShownLogs {
    QMap<QString, QString> files;
    QMap<QString, quint64> replacements;
    QSharedPointer<QTemporaryDir> folder;
};

// The user's decision, handed from the dialog to the Handler by value.
struct Message {
    bool isSend = false;     // "发送错误报告" was ticked
    bool isRestart = false;  // "重启程序" was ticked
    QString description;     // the text typed under "这个问题是如何出现的？", as typed
    QStringList leftOut;     // paths of the logs the user left out of this report
    ShownLogs shown;         // the logs as the report-contents window showed them, if it was opened
};

Q_DECLARE_METATYPE(Message)
