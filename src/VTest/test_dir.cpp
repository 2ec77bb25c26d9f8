#include "VTest/test_dir.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "VDebug/debug.h"

namespace {

const QDir::Filters kListing = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;

} // namespace

VTestDir::VTestDir(const char* root, const char* suite, const char* test)
    : _qDir(createOutputPath(root, suite, test))
{
}

QString VTestDir::createOutputPath(const char* root, const char* suite, const char* test)
{
    const QString path = getOutputDirName(QString::fromLocal8Bit(root)) + QLatin1Char('/')
                         + QString::fromLocal8Bit(suite) + QLatin1Char('/')
                         + QString::fromLocal8Bit(test);
    QDir().mkpath(path);
    return path;
}

QString VTestDir::getAbsoluteFileName(const char* name)
{
    return getAbsoluteDirName() + QLatin1Char('/') + QString::fromLocal8Bit(name);
}

QString VTestDir::getAbsoluteDirName()
{
    return _qDir.absolutePath();
}

QString VTestDir::getUnittestsDirName(const QString& root)
{
    return root;
}

QString VTestDir::getInputDirName(const QString& root)
{
    return root + QStringLiteral("/input");
}

QString VTestDir::getOutputDirName(const QString& root)
{
    return root + QStringLiteral("/output");
}

void VTestDir::clean()
{
    // QDir reads an empty path as the current directory.
    const QString path = _qDir.path();
    if (path.isEmpty() || QDir::cleanPath(_qDir.absolutePath()) == QLatin1String("/")
        || _qDir.canonicalPath() == QLatin1String("/")) {
        VWARNING(VDebug::STDERR) << "VTestDir::clean: refusing to clean" << path << endl;
        return;
    }
    const QStringList entries = _qDir.entryList(kListing, QDir::NoSort);
    for (const QString& entry : entries)
        recursiveClean(_qDir.absoluteFilePath(entry));
}

void VTestDir::recursiveClean(const QString& path)
{
    const QFileInfo info(path);
    // isDir() follows links: remove a link itself, never what it points to.
    if (info.isSymLink() || !info.isDir()) {
        QFile::remove(path);
        return;
    }
    const QDir dir(path);
    const QStringList entries = dir.entryList(kListing, QDir::NoSort);
    for (const QString& entry : entries)
        recursiveClean(dir.absoluteFilePath(entry));
    QDir().rmpath(path);
}
