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
        <source>报告已保留，将在网络恢复或下一份报告发送成功时发送。</source>
        <extracomment>The failure box: the report stays pending, and a waiter sends it when the network is back.</extracomment>
        <translation>The report is kept and will be sent as soon as the machine is online again, or with the next report that gets through.</translation>
    </message>
    <message>
        <source>报告未能保留，转储文件仍在原处。</source>
        <extracomment>The failure box: the report could not even be kept.</extracomment>
        <translation>The report could not be kept; the dump stays where it is.</translation>
    </message>
    <message>
        <source>报告内容…</source>
        <extracomment>The link-styled button left of OK that opens the report-contents window.</extracomment>
        <translation>Report contents…</translation>
    </message>
    <message>
        <source>报告内容</source>
        <extracomment>Accessible name of that button.</extracomment>
        <translation>Report contents</translation>
    </message>
    <message>
        <source>显示将要发送的内容</source>
        <extracomment>Accessible description of that button.</extracomment>
        <translation>Shows what will be sent</translation>
    </message>
</context>
<context>
    <name>ReportContents</name>
    <message>
        <source>报告内容</source>
        <extracomment>The window's title.</extracomment>
        <translation>Report contents</translation>
    </message>
    <message>
        <source>描述：</source>
        <translation>Description:</translation>
    </message>
    <message>
        <source>报告中的文件</source>
        <extracomment>Accessible name of the file list.</extracomment>
        <translation>Files in the report</translation>
    </message>
    <message>
        <source>归档中的名称</source>
        <translation>Name in the archive</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>%1 是崩溃程序的内存映像，可能包含该程序在内存中持有的任何内容。它总是随报告发送。</source>
        <extracomment>%1 is the dump's name in the archive.</extracomment>
        <translation>%1 is a memory image of the crashed program; it may hold anything that program held in memory. It is always sent with the report.</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>无法读取</source>
        <extracomment>In the size column of a log that cannot be read.</extracomment>
        <translation>Cannot be read</translation>
    </message>
    <message>
        <source>勾选时随本报告发送</source>
        <translation>Sent with this report when ticked</translation>
    </message>
    <message>
        <source>收件人：%1</source>
        <translation>To: %1</translation>
    </message>
    <message>
        <source>主题：%1</source>
        <translation>Subject: %1</translation>
    </message>
    <message>
        <source>共 %1</source>
        <extracomment>%1 is a size such as 2.1 MB.</extracomment>
        <translation>Total: %1</translation>
    </message>
    <message>
        <source>按邮件服务器的大小限制，最多需要 %1 封邮件。</source>
        <translation>At the mail server's size limit this takes at most %1 mails.</translation>
    </message>
    <message>
        <source>超过邮件服务器的大小限制：只发送描述和日志，内存映像留在本机。</source>
        <translation>Over the mail server's size limit: only the description and the logs are sent; the memory image stays on this computer.</translation>
    </message>
    <message>
        <source>日志内容</source>
        <extracomment>Accessible name of the log viewer.</extracomment>
        <translation>Log contents</translation>
    </message>
    <message>
        <source>内存映像不以文本显示。</source>
        <translation>The memory image is not shown as text.</translation>
    </message>
    <message>
        <source>日志内容：%1</source>
        <extracomment>%1 is the log's name in the archive.</extracomment>
        <translation>Log contents: %1</translation>
    </message>
    <message>
        <source>发送前已替换私人信息（用户目录、用户名、主机名、电子邮件、IP 地址、密码等），替换处已标出。</source>
        <translation>Private data (home folder, user and host names, e-mail and IP addresses, passwords and the like) is replaced before sending; the replacements are marked.</translation>
    </message>
    <message>
        <source>日志按原样发送，未替换私人信息。</source>
        <translation>The logs are sent as they are, private data included.</translation>
    </message>
    <message>
        <source>日志大于 10 MB：这里只显示最后 10 MB，发送的是整个日志。</source>
        <translation>The log is larger than 10 MB: only its last 10 MB are shown here; all of it is sent.</translation>
    </message>
</context>
</TS>
