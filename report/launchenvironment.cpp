#include "report/launchenvironment.h"

namespace {

struct Captured {
    bool taken = false;
    QProcessEnvironment environment;
};

Captured& captured()
{
    static Captured value;
    return value;
}

} // namespace

namespace LaunchEnvironment {

void capture()
{
    Captured& value = captured();
    if (value.taken)
        return;
    value.environment = QProcessEnvironment::systemEnvironment();
    value.taken = true;
}

QProcessEnvironment original()
{
    const Captured& value = captured();
    return value.taken ? value.environment : QProcessEnvironment::systemEnvironment();
}

} // namespace LaunchEnvironment
