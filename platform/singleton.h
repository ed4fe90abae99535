#pragma once

namespace utils {

// Process-wide instance of T, created on first use (thread-safe) and destroyed at exit.
template <typename T>
class CSingletonT {
public:
    static T* instance()
    {
        static T object;
        return &object;
    }
};

} // namespace utils
