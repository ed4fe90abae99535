#pragma once

#include <QString>

#include <utility>

namespace Lumo {

// Receives the in-house UI events; nothing in this program sends any.
class CEventDeliverer {
public:
    virtual ~CEventDeliverer() = default;
    virtual bool handleEvent(int, int, int, QString, void*) { return false; }
};

// A Qt widget class that can also take in-house UI events.
template <typename T>
class CEventWidgetT : public T, public CEventDeliverer {
public:
    template <typename... Args>
    explicit CEventWidgetT(Args&&... args) : T(std::forward<Args>(args)...)
    {
    }
};

// Told when the theme, the fixed font or the scale changes; the stand-in theme never changes.
class CUiResourceChangeHandler {
public:
    virtual ~CUiResourceChangeHandler() = default;
    virtual void setFixFont() {}
    virtual void themeChanged() {}
    virtual void scaleChanged() {}
};

} // namespace Lumo
