#pragma once

#include "platform/basedialog.h"
#include "report/message.h"
#include "report/outcome.h"
#include "report/reportpreview.h"

#include <QByteArray>
#include <QString>

#include <string>

class QCheckBox;
class QCloseEvent;
class QKeyEvent;
class QMouseEvent;
class QProgressBar;
class QPushButton;
class QTimer;
class ReportContents;

namespace Lumo {
class CDialogBuilder;
class CSimpleTextWidget;
class CTextEdit;
} // namespace Lumo

// The crash dialog: apology, the two choices, the description, and an OK button that counts
// down ten seconds and then confirms by itself. GUI thread only.
class crashui : public Lumo::CBaseDialog {
    Q_OBJECT
public:
    // restartGuardSeconds: how long after crashui restarted the host the restart box starts
    // unchecked (0: no guard, whyNoGuard said on standard error); -1: the compiled-in length.
    crashui(QByteArray rootDir, QString title, QWidget* parent, Qt::WindowFlags flags, qint64 restartGuardSeconds = -1,
            const QString& whyNoGuard = QString());
    ~crashui() override;

    // Where the reason of a failed dispatch is read from, for the failure box's details; may stay
    // unset. Not owned.
    void setOutcome(const DispatchOutcome* outcome) { m_outcome = outcome; }
    // What the report would send, for the report-contents window; its button shows once a
    // report with a dump is known.
    void setReportPreview(const ReportPreview& preview);

signals:
    void sig_crashInfo(Message);

public slots:
    void slot_confirmClicked();
    void slot_cancelClicked();
    void slot_mailSended(bool);
    void slot_sendMail();
    void slot_Timer();
    void slot_Timeout();
    void slot_TimeStop();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    // While the report is being sent, closing only hides the window: the dispatch finishes, its
    // outcome goes to standard error and the confirmed choices are saved.
    void closeEvent(QCloseEvent* event) override;
    // Escape: as Cancel.
    void reject() override;
    // Any key press stops the countdown, as a mouse press does.
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void initWidgets();
    void makeContentsButton();
    void showReportContents();
    void translate(const QString& title);
    void makeAccessible();
    QString countdownLabel() const;
    void loadChoices();
    // From the keyboard: the boxes, the description, OK, Cancel. Any key stops the countdown.
    void setKeyboardOrder();
    void saveChoices();
    std::string settingsFilePath() const;

    QTimer* m_progressTimer;
    QTimer* m_countdownTimer;
    int m_countdown;
    Lumo::CDialogBuilder* m_builder;
    Lumo::CTextEdit* m_textEdit;
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;
    QProgressBar* m_progressBar;
    QCheckBox* m_sendBox;
    QCheckBox* m_restartBox;
    Lumo::CSimpleTextWidget* m_noticeText;
    QByteArray m_rootDir;
    QString m_layoutXml;
    const DispatchOutcome* m_outcome = nullptr;
    bool m_restartRemembered = false;   // the restart choice as crashui.ini holds it
    bool m_restartGuarded = false;      // unchecked by the crash-loop guard
    bool m_restartChangedByUser = false;
    qint64 m_restartGuardSeconds = -1;
    QString m_whyNoGuard;
    QPushButton* m_contentsButton = nullptr;
    ReportContents* m_contents = nullptr;
    ReportPreview m_preview;
    bool m_countdownOff = false; // CRASHUI_COUNTDOWN_SECONDS=0: only the user confirms
    bool m_sending = false;   // between slot_sendMail and slot_mailSended
    bool m_dismissed = false; // closed by the user while sending: hidden, waiting for the outcome
};
