#include "dialog/reportcontents.h"

#include "dialog/logview.h"
#include "report/privacysettings.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <fcntl.h>
#include <unistd.h>

namespace {

enum Column { kName = 0, kSize = 1 };
constexpr int kLogIndexRole = Qt::UserRole + 1;

QLabel* plainLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText); // names from outside are never read as markup
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

ReportContents::ReportContents(const ReportPreview& preview, QWidget* parent)
    : QDialog(parent), m_preview(preview), m_scrub(scrubLogsEnabled())
{
    setObjectName(QStringLiteral("reportContents"));
    setWindowTitle(tr("报告内容"));
    setAccessibleName(windowTitle());
    setWindowModality(Qt::WindowModal);
    resize(660, 600);

    auto* layout = new QVBoxLayout(this);
    m_header = plainLabel(this);
    m_header->setObjectName(QStringLiteral("mailHeader"));
    layout->addWidget(m_header);

    auto* descriptionLabel = new QLabel(tr("描述："), this);
    layout->addWidget(descriptionLabel);
    m_description = new QPlainTextEdit(this);
    m_description->setObjectName(QStringLiteral("descriptionView"));
    m_description->setReadOnly(true);
    m_description->setMaximumHeight(60);
    m_description->setAccessibleName(tr("描述："));
    m_description->setTabChangesFocus(true);
    descriptionLabel->setBuddy(m_description);
    layout->addWidget(m_description);

    m_files = new QTreeWidget(this);
    m_files->setObjectName(QStringLiteral("fileList"));
    m_files->setAccessibleName(tr("报告中的文件"));
    m_files->setRootIsDecorated(false);
    m_files->setHeaderLabels({tr("归档中的名称"), tr("大小")});
    m_files->header()->setSectionResizeMode(kName, QHeaderView::Stretch);
    m_files->header()->setSectionResizeMode(kSize, QHeaderView::ResizeToContents);
    m_files->header()->setStretchLastSection(false);
    m_files->setMaximumHeight(120);
    layout->addWidget(m_files);

    auto* dumpNote = plainLabel(this);
    dumpNote->setObjectName(QStringLiteral("dumpNote"));
    dumpNote->setText(tr("%1 是崩溃程序的内存映像，可能包含该程序在内存中持有的任何内容。它总是随报告发送。")
                          .arg(m_preview.dump.entry));
    layout->addWidget(dumpNote);
    m_total = plainLabel(this);
    m_total->setObjectName(QStringLiteral("totalSize"));
    layout->addWidget(m_total);
    m_viewerNote = plainLabel(this);
    m_viewerNote->setObjectName(QStringLiteral("viewerNote"));
    layout->addWidget(m_viewerNote);
    m_viewer = new LogView(this);
    m_viewer->setObjectName(QStringLiteral("logViewer"));
    m_viewer->setTabChangesFocus(true);
    layout->addWidget(m_viewer, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setText(tr("关闭"));
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("closeButton"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_files, &QTreeWidget::currentItemChanged, this, [this] { showSelected(); });
    // A log left out no longer counts in the total.
    connect(m_files, &QTreeWidget::itemChanged, this, [this] { updateTotal(); });
    m_scrubbing = std::thread([this] {
        prepareLogs();
        m_scrubbed = true;
    });
}

ReportContents::~ReportContents()
{
    m_cancel = true; // a closed dialog does not wait for a long log's scrubbing
    waitForLogs();
}

void ReportContents::waitForLogs()
{
    if (m_scrubbing.joinable())
        m_scrubbing.join();
}

ShownLogs ReportContents::shownLogs()
{
    if (!m_scrubbed) {
        m_cancel = true; // packing scrubs them now: this would only take its time
        return ShownLogs();
    }
    waitForLogs();
    return m_shown;
}

QString ReportContents::sizeText(quint64 bytes) const
{
    return QLocale().formattedDataSize(static_cast<qint64>(bytes), 1, QLocale::DataSizeTraditionalFormat);
}

void ReportContents::prepareLogs()
{
    if (m_scrub) {
        m_shown.folder.reset(new QTemporaryDir);
        if (!m_shown.folder->isValid())
            m_shown.folder.reset();
    }
    static const LogScrubber scrubber(ScrubIdentity::ofThisProcess());
    for (const ReportPreview::File& file : m_preview.logs) {
        Log log;
        log.path = file.path;
        log.shownFile = file.path;
        const QFileInfo info(file.path);
        log.readable = info.isFile() && info.isReadable();
        log.size = static_cast<quint64>(info.size());
        if (log.readable && m_scrub && m_shown.folder) {
            // Once: these bytes are what is shown and what is packed.
            const QString target = m_shown.folder->filePath(QString::number(m_logs.size()));
            const int in = ::open(QFile::encodeName(file.path).constData(), O_RDONLY | O_CLOEXEC);
            const int out =
                ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            LogScrubber::Result result;
            if (in >= 0 && out >= 0)
                result = scrubber.scrubFile(in, log.size, out, &log.spans, &m_cancel);
            if (in >= 0)
                ::close(in);
            if (out >= 0 && ::close(out) != 0)
                result.ok = false;
            log.readable = result.ok;
            if (result.ok) {
                log.shownFile = target;
                log.size = result.bytesOut;
                m_shown.files.insert(file.path, target);
                m_shown.replacements.insert(file.path, result.replacements);
            }
        }
        m_logs << log;
    }
}

void ReportContents::present(const QString& description)
{
    waitForLogs();
    m_header->setText(tr("收件人：%1").arg(m_preview.mailbox) + QLatin1Char('\n') +
                      tr("主题：%1").arg(m_preview.subject));
    m_header->setAccessibleName(m_header->text());
    if (m_description->toPlainText() != description)
        m_description->setPlainText(description);

    const QSignalBlocker quiet(m_files);
    const QStringList out = leftOut();
    const int current = m_files->currentItem() ? m_files->indexOfTopLevelItem(m_files->currentItem()) : -1;
    m_files->clear();
    auto* dump = new QTreeWidgetItem(
        m_files, {m_preview.dump.entry, sizeText(static_cast<quint64>(QFileInfo(m_preview.dump.path).size()))});
    dump->setData(kName, kLogIndexRole, -1);
    dump->setFlags(dump->flags() & ~Qt::ItemIsUserCheckable); // the dump cannot be left out
    dump->setToolTip(kName, tr("%1 是崩溃程序的内存映像，可能包含该程序在内存中持有的任何内容。它总是随报告发送。")
                                .arg(m_preview.dump.entry));
    for (int i = 0; i < m_logs.size(); ++i) {
        const Log& log = m_logs.at(i);
        const ReportPreview::File& file = m_preview.logs.at(i);
        auto* item = new QTreeWidgetItem(m_files, {file.entry, log.readable ? sizeText(log.size) : tr("无法读取")});
        item->setData(kName, kLogIndexRole, i);
        if (!log.readable) {
            item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable); // not sent: nothing to choose
            continue;
        }
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        const bool sent = !out.contains(log.path);
        item->setCheckState(kName, sent ? Qt::Checked : Qt::Unchecked);
        item->setToolTip(kName, tr("勾选时随本报告发送"));
    }
    m_files->setCurrentItem(m_files->topLevelItem(current >= 0 ? current : (m_logs.isEmpty() ? 0 : 1)));
    updateTotal();
    showSelected();
    if (!isVisible())
        open();
}

void ReportContents::updateTotal()
{
    const QStringList out = leftOut();
    quint64 total = static_cast<quint64>(QFileInfo(m_preview.dump.path).size());
    for (const Log& log : m_logs) {
        if (log.readable && !out.contains(log.path))
            total += log.size;
    }
    QString totalText = tr("共 %1").arg(sizeText(total));
    if (m_preview.sizeLimit > 0) {
        // Each mail carries at most this much of the archive (base64, a little room for the
        // server's counting); the archive is no larger than its files.
        const quint64 perMail = qMax<quint64>(1, (m_preview.sizeLimit / 100 * 90) / 78 * 57);
        const quint64 mails = (total + perMail - 1) / perMail;
        totalText += QLatin1Char('\n') + (static_cast<int>(mails) <= m_preview.maxParts
                                              ? tr("按邮件服务器的大小限制，最多需要 %1 封邮件。").arg(mails)
                                              : tr("超过邮件服务器的大小限制：只发送描述和日志，内存映像留在本机。"));
    }
    m_total->setText(totalText);
    m_total->setAccessibleName(totalText);
}

void ReportContents::showSelected()
{
    const QTreeWidgetItem* item = m_files->currentItem();
    const int index = item ? item->data(kName, kLogIndexRole).toInt() : -1;
    if (index < 0 || index >= m_logs.size()) {
        m_viewer->setPlainText(QString());
        m_viewer->setAccessibleName(tr("日志内容"));
        m_viewerNote->setText(tr("内存映像不以文本显示。"));
        return;
    }
    const Log& log = m_logs.at(index);
    m_viewer->showFile(log.shownFile, log.spans);
    m_viewer->setAccessibleName(tr("日志内容：%1").arg(m_preview.logs.at(index).entry));
    QStringList notes;
    notes << (m_scrub
                  ? tr("发送前已替换私人信息（用户目录、用户名、主机名、电子邮件、IP 地址、密码等），替换处已标出。")
                  : tr("日志按原样发送，未替换私人信息。"));
    if (m_viewer->shownFrom() > 0)
        notes << tr("日志大于 10 MB：这里只显示最后 10 MB，发送的是整个日志。");
    m_viewerNote->setText(notes.join(QLatin1Char(' ')));
}

QStringList ReportContents::leftOut() const
{
    QStringList out;
    for (int i = 0; i < m_files->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = m_files->topLevelItem(i);
        const int index = item->data(kName, kLogIndexRole).toInt();
        if (index >= 0 && index < m_logs.size() && (item->flags() & Qt::ItemIsUserCheckable) &&
            item->checkState(kName) == Qt::Unchecked)
            out << m_logs.at(index).path;
    }
    return out;
}
