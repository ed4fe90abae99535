#pragma once

#include "report/paraminfo.h"
#include "report/reportpreview.h"

// The preview of the report this crash context would send: the mailbox of SmtpSettings, the
// subject, the entry names the archive gives the files, and the size limit that the newest
// pending report of the same dumps folder learnt from the server. GUI thread, before confirming.
ReportPreview makeReportPreview(const ParamInfo& info);
