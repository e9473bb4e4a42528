// SPDX-License-Identifier: MIT
#include "HomePath.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

} // namespace

THomePath::THomePath(const QString& homeDir, const QString& path)
    : m_target(homeDir + QLatin1Char('/') + path)
    // The trailing "/" makes an empty home directory the root, as every composed path has it.
    , m_home(cleanAbsolute(homeDir + QLatin1Char('/')))
    , m_absoluteTarget(cleanAbsolute(m_target))
    , m_suffix(QFileInfo(m_target).suffix())
{
}

QString THomePath::homePrefix() const
{
    return m_home.endsWith(QLatin1Char('/')) ? m_home : m_home + QLatin1Char('/');
}

bool THomePath::isInsideHome() const
{
    const QString prefix = homePrefix();
    return m_absoluteTarget.length() > prefix.length() && m_absoluteTarget.startsWith(prefix);
}

bool THomePath::isDirectlyInHome() const
{
    return QFileInfo(m_absoluteTarget).absolutePath() == m_home;
}

bool THomePath::isUnder(const QString& subdir) const
{
    return m_absoluteTarget.startsWith(homePrefix() + subdir + QLatin1Char('/'));
}

bool THomePath::isStoppable() const
{
    return (isDirectlyInHome() && m_suffix.isEmpty()) || isUnder(QStringLiteral("ext"))
        || isUnder(QStringLiteral("upgrade"));
}

bool THomePath::isExecutable() const
{
    return isStoppable()
        || (isDirectlyInHome()
            && (m_suffix == QLatin1String("so") || m_suffix == QLatin1String("sh")));
}
