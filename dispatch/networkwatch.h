#pragma once

#include <QObject>
#include <QString>

// Whether the machine can reach the Internet, as a source on the machine says it. This base has
// no source of its own: its state stays Unknown until setState() is called (by a source such as
// NetworkManagerWatch, or by a test). GUI (or main) thread only.
class NetworkWatch : public QObject {
    Q_OBJECT
public:
    enum class State {
        Unknown, // no source, or it cannot tell: treated as offline, reports still go when due
        Offline, // no network, or only a limited one (a captive portal, no route out)
        Online,  // full connectivity
    };
    Q_ENUM(State)

    explicit NetworkWatch(QObject* parent = nullptr);

    State state() const { return m_state; }
    // Emits sig_stateChanged when the state is another than before.
    void setState(State state);

signals:
    void sig_stateChanged(NetworkWatch::State state);

private:
    State m_state = State::Unknown;
};
