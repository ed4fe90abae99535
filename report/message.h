#pragma once

#include <QMetaType>
#include <QString>

// The user's decision, handed from the dialog to the Handler by value.
struct Message {
    bool isSend = false;     // "发送错误报告" was ticked
    bool isRestart = false;  // "重启程序" was ticked
    QString description;     // the text typed under "这个问题是如何出现的？", as typed
};

Q_DECLARE_METATYPE(Message)
