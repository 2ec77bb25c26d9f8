#include "VTest/test_dir.h"

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
