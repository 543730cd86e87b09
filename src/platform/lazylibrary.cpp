#include "platform/lazylibrary.h"

LazyLibrary::LazyLibrary(const char* soname) : m_soname(soname)
{
    m_handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!m_handle)
        m_error = QStringLiteral("cannot load ") + QLatin1String(soname) + QStringLiteral(": ") +
                  QString::fromLocal8Bit(dlerror());
}
