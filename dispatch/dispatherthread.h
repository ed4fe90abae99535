#pragma once

#include "message.h"
#include "paraminfo.h"

#include <QThread>

class Handler;

// One report job: doMail, the restart when asked, then the result signal. Works only on its own
// copies of the choice and the crash context.
class DispatherThread : public QThread {
public:
    DispatherThread(Handler* owner, const Message& msg, const ParamInfo& info);
    ~DispatherThread() override;

protected:
    void run() override;

private:
    Handler* m_owner;
    Message m_msg;
    ParamInfo m_info;
};
