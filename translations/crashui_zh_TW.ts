<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW" sourcelanguage="zh_CN">
<context>
    <name>crashui</name>
    <message>
        <source>遇到未知错误，我们对由此引起的不便表示抱歉。我们已经产生了一个关于此错误的报告，希望您发送此报告给我们以帮助改善的质量。</source>
        <extracomment>The apology. %1, where a translation uses it, is the program's name (the dialog's title) or 'our software'.</extracomment>
        <translation>遇到未預期的錯誤，造成不便，敬請見諒。我們已產生一份關於此錯誤的報告，希望您將報告傳送給我們，協助我們改善%1的品質。</translation>
    </message>
    <message>
        <source>我们的软件</source>
        <extracomment>Stands for the program in the apology when it has no name.</extracomment>
        <translation>我們的軟體</translation>
    </message>
    <message>
        <source>这个问题是如何出现的？</source>
        <translation>這個問題是如何發生的？</translation>
    </message>
    <message>
        <source>发送错误报告</source>
        <translation>傳送錯誤報告</translation>
    </message>
    <message>
        <source>重启程序</source>
        <translation>重新啟動程式</translation>
    </message>
    <message>
        <source>确定 (%1s)</source>
        <extracomment>The OK button while it counts down; %1 is the seconds left.</extracomment>
        <translation>確定 (%1s)</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>確定</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>错误</source>
        <extracomment>The title of the failure box.</extracomment>
        <translation>錯誤</translation>
    </message>
    <message>
        <source>邮件发送失败</source>
        <translation>錯誤報告傳送失敗。</translation>
    </message>
    <message>
        <source>警告</source>
        <extracomment>Accessible name of the warning sign.</extracomment>
        <translation>警告</translation>
    </message>
    <message>
        <source>出现错误</source>
        <extracomment>Accessible name of the apology; its words are read as its text.</extracomment>
        <translation>發生錯誤</translation>
    </message>
    <message>
        <source>正在发送错误报告</source>
        <extracomment>Accessible name of the progress bar.</extracomment>
        <translation>正在傳送錯誤報告</translation>
    </message>
    <message>
        <source>如不按任何键，此对话框将在 %1 秒后自动确定。</source>
        <translation>如不按任何鍵，此對話方塊將在 %1 秒後自動確定。</translation>
    </message>
    <message>
        <source>报告已保留，将在下一份报告发送成功时一并发送。</source>
        <translation>報告已保留，將在下一份報告傳送成功時一併傳送。</translation>
    </message>
    <message>
        <source>报告未能保留，转储文件仍在原处。</source>
        <translation>報告未能保留，傾印檔仍在原處。</translation>
    </message>
</context>
</TS>
