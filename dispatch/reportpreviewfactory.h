#pragma once

#include "dispatch/dispatchconfig.h"
#include "report/paraminfo.h"
#include "report/reportpreview.h"

// The preview of the report this crash context would send: the receiver of the mail settings, the
// subject, the entry names the archive gives the files, and the size limit that the newest
// pending report of the same dumps folder learnt from the server. GUI thread, before confirming.
ReportPreview makeReportPreview(const ParamInfo& info, const DispatchConfig& config);
// With DispatchConfig::current().
ReportPreview makeReportPreview(const ParamInfo& info);
