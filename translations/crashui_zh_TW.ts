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
        <source>报告已保留，将在网络恢复或下一份报告发送成功时发送。</source>
        <translation>報告已保留，將在網路恢復或下一份報告傳送成功時傳送。</translation>
    </message>
    <message>
        <source>报告未能保留，转储文件仍在原处。</source>
        <translation>報告未能保留，傾印檔仍在原處。</translation>
    </message>
    <message>
        <source>报告内容…</source>
        <extracomment>The link-styled button left of OK that opens the report-contents window.</extracomment>
        <translation>報告內容…</translation>
    </message>
    <message>
        <source>报告内容</source>
        <extracomment>Accessible name of that button.</extracomment>
        <translation>報告內容</translation>
    </message>
    <message>
        <source>显示将要发送的内容</source>
        <extracomment>Accessible description of that button.</extracomment>
        <translation>顯示將要傳送的內容</translation>
    </message>
</context>
<context>
    <name>ReportContents</name>
    <message>
        <source>报告内容</source>
        <extracomment>The window's title.</extracomment>
        <translation>報告內容</translation>
    </message>
    <message>
        <source>描述：</source>
        <translation>描述：</translation>
    </message>
    <message>
        <source>报告中的文件</source>
        <extracomment>Accessible name of the file list.</extracomment>
        <translation>報告中的檔案</translation>
    </message>
    <message>
        <source>归档中的名称</source>
        <translation>封存中的名稱</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>大小</translation>
    </message>
    <message>
        <source>%1 是崩溃程序的内存映像，可能包含该程序在内存中持有的任何内容。它总是随报告发送。</source>
        <extracomment>%1 is the dump's name in the archive.</extracomment>
        <translation>%1 是當機程式的記憶體映像，可能包含該程式在記憶體中持有的任何內容。它一律隨報告傳送。</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>關閉</translation>
    </message>
    <message>
        <source>无法读取</source>
        <extracomment>In the size column of a log that cannot be read.</extracomment>
        <translation>無法讀取</translation>
    </message>
    <message>
        <source>勾选时随本报告发送</source>
        <translation>勾選時隨本報告傳送</translation>
    </message>
    <message>
        <source>收件人：%1</source>
        <translation>收件人：%1</translation>
    </message>
    <message>
        <source>主题：%1</source>
        <translation>主旨：%1</translation>
    </message>
    <message>
        <source>共 %1</source>
        <extracomment>%1 is a size such as 2.1 MB.</extracomment>
        <translation>共 %1</translation>
    </message>
    <message>
        <source>按邮件服务器的大小限制，最多需要 %1 封邮件。</source>
        <translation>依郵件伺服器的大小限制，最多需要 %1 封郵件。</translation>
    </message>
    <message>
        <source>超过邮件服务器的大小限制：只发送描述和日志，内存映像留在本机。</source>
        <translation>超過郵件伺服器的大小限制：只傳送描述和日誌，記憶體映像留在本機。</translation>
    </message>
    <message>
        <source>日志内容</source>
        <extracomment>Accessible name of the log viewer.</extracomment>
        <translation>日誌內容</translation>
    </message>
    <message>
        <source>内存映像不以文本显示。</source>
        <translation>記憶體映像不以文字顯示。</translation>
    </message>
    <message>
        <source>日志内容：%1</source>
        <extracomment>%1 is the log's name in the archive.</extracomment>
        <translation>日誌內容：%1</translation>
    </message>
    <message>
        <source>发送前已替换私人信息（用户目录、用户名、主机名、电子邮件、IP 地址、密码等），替换处已标出。</source>
        <translation>傳送前已取代私人資訊（使用者目錄、使用者名稱、主機名稱、電子郵件、IP 位址、密碼等），取代處已標出。</translation>
    </message>
    <message>
        <source>日志按原样发送，未替换私人信息。</source>
        <translation>日誌依原樣傳送，未取代私人資訊。</translation>
    </message>
    <message>
        <source>日志大于 10 MB：这里只显示最后 10 MB，发送的是整个日志。</source>
        <translation>日誌大於 10 MB：這裡只顯示最後 10 MB，傳送的是整個日誌。</translation>
    </message>
</context>
</TS>
