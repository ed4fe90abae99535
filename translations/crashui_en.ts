<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>crashui</name>
    <message>
        <source>遇到未知错误，我们对由此引起的不便表示抱歉。我们已经产生了一个关于此错误的报告，希望您发送此报告给我们以帮助改善的质量。</source>
        <extracomment>The apology. %1, where a translation uses it, is the program's name (the dialog's title) or 'our software'.</extracomment>
        <translation>Sorry, an unexpected error occurred. We have prepared a report about it; please send it to us to help us improve %1.</translation>
    </message>
    <message>
        <source>我们的软件</source>
        <extracomment>Stands for the program in the apology when it has no name.</extracomment>
        <translation>our software</translation>
    </message>
    <message>
        <source>这个问题是如何出现的？</source>
        <translation>How did the problem happen?</translation>
    </message>
    <message>
        <source>发送错误报告</source>
        <translation>Send error report</translation>
    </message>
    <message>
        <source>重启程序</source>
        <translation>Restart program</translation>
    </message>
    <message>
        <source>确定 (%1s)</source>
        <extracomment>The OK button while it counts down; %1 is the seconds left.</extracomment>
        <translation>OK (%1s)</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>错误</source>
        <extracomment>The title of the failure box.</extracomment>
        <translation>Error</translation>
    </message>
    <message>
        <source>邮件发送失败</source>
        <translation>The error report could not be sent.</translation>
    </message>
    <message>
        <source>警告</source>
        <extracomment>Accessible name of the warning sign.</extracomment>
        <translation>Warning</translation>
    </message>
    <message>
        <source>出现错误</source>
        <extracomment>Accessible name of the apology; its words are read as its text.</extracomment>
        <translation>An error occurred</translation>
    </message>
    <message>
        <source>正在发送错误报告</source>
        <extracomment>Accessible name of the progress bar.</extracomment>
        <translation>Sending the error report</translation>
    </message>
    <message>
        <source>如不按任何键，此对话框将在 %1 秒后自动确定。</source>
        <extracomment>The dialog&apos;s description for screen readers; %1 is the countdown&apos;s seconds.</extracomment>
        <translation>Unless a key is pressed, this dialog confirms by itself in %1 seconds.</translation>
    </message>
    <message>
        <source>报告已保留，将在下一份报告发送成功时一并发送。</source>
        <extracomment>The failure box: the report stays pending.</extracomment>
        <translation>The report is kept and will be sent with the next report that gets through.</translation>
    </message>
    <message>
        <source>报告未能保留，转储文件仍在原处。</source>
        <extracomment>The failure box: the report could not even be kept.</extracomment>
        <translation>The report could not be kept; the dump stays where it is.</translation>
    </message>
</context>
</TS>
