#include "spool/spool.h"

#include <QDir>

QString Spool::folderPath(const QString& queueFolder) const
{
    return m_path + QLatin1Char('/') + queueFolder;
}

bool Spool::isAt(const QString& path) const
{
    return QDir::cleanPath(path) == QDir::cleanPath(m_path);
}

bool Spool::setPath(const QString& path)
{
    if (isAt(path) && !m_path.isEmpty())
        return false;
    m_path = path;
    ++m_generation;
    return true;
}
