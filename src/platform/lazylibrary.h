#pragma once
// A client library opened on first use instead of at start. libcups (with GnuTLS) and
// libsmbclient (with about a hundred Samba libraries) cost several MiB resident, and most
// servers print through neither. Once opened, a library stays for the rest of the process:
// its threads and exit handlers must not outlive its code.

#include <QString>

#include <dlfcn.h>

class LazyLibrary final
{
public:
    explicit LazyLibrary(const char* soname);
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // False, with error(), when the library is not installed.
    bool isOpen() const { return m_handle != nullptr; }
    // Why the library or the last symbol asked for is missing.
    QString error() const { return m_error; }

    template <typename F> bool resolve(F& fn, const char* name)
    {
        fn = m_handle ? reinterpret_cast<F>(dlsym(m_handle, name)) : nullptr;
        if (!fn && m_handle)
            m_error = QLatin1String(m_soname) + QStringLiteral(" has no ") + QLatin1String(name);
        return fn != nullptr;
    }

private:
    const char* m_soname;
    void* m_handle = nullptr;
    QString m_error;
};
