// VTestDir: names a scratch directory for unit tests and empties it.
#ifndef VORNLIB_VTEST_TEST_DIR_H
#define VORNLIB_VTEST_TEST_DIR_H

#include "VCore/vornlib_export.h"

#include <QDir>
#include <QString>

// Not thread-safe: one object belongs to one test.
//
// The scratch directory of VTestDir(root, suite, test) is
// root + "/output/" + suite + "/" + test, created when missing. clean()
// removes what a plain listing shows (hidden entries stay, and so do the
// directories that hold them; FIFOs, sockets and broken links are not listed
// and stay). A symbolic link is removed itself, never followed. A directory
// that clean() empties is removed together with each parent directory left
// empty, up to the first one that cannot be removed: the scratch directory
// and its parents go too when nothing else keeps them. clean() refuses, with a
// warning, a scratch path that is empty or the root directory, a link, or a
// directory owned by another user (who could swap its content meanwhile).
// The walk goes by descriptor (openat, unlinkat), never by path: a directory
// swapped for a link during the clean is not followed, and names that are not
// valid UTF-8 and trees deeper than PATH_MAX are removed too. A mount point
// (another file system or a bind mount) is never entered, nor is a directory
// whose mount cannot be told (no statx mount id, no file handles and no
// /proc) or that may be listed but not searched: these stay with what they
// hold, silently, and the rest of the tree goes.
class VORN_EXPORT VTestDir
{
public:
    VTestDir(const char* root, const char* suite, const char* test);

    void clean();

    // The scratch directory + "/" + name.
    QString getAbsoluteFileName(const char* name);
    // The scratch directory.
    QString getAbsoluteDirName();

    // root; root + "/input"; root + "/output".
    static QString getUnittestsDirName(const QString& root);
    static QString getInputDirName(const QString& root);
    static QString getOutputDirName(const QString& root);

private:
    // Empties the directory open as dirFd (consumed) as far as the rules
    // allow; whether the last entry it handled was a directory it removed.
    static bool recursiveClean(int dirFd);
    // Makes the scratch directory when missing and returns its path.
    static QString createOutputPath(const char* root, const char* suite, const char* test);

    QDir _qDir;
};

#endif
