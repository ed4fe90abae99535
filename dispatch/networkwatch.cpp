#include "dispatch/networkwatch.h"

NetworkWatch::NetworkWatch(QObject* parent) : QObject(parent) {}

void NetworkWatch::setState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    emit sig_stateChanged(state);
}
