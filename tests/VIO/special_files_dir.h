// A directory of configuration files among special ones, for the tests of
// the php.ini readers.
#ifndef VORNLIB_TESTS_VIO_SPECIAL_FILES_DIR_H
#define VORNLIB_TESTS_VIO_SPECIAL_FILES_DIR_H

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <QDir>

#include <gtest/gtest.h>

#include "testutil.h"

// In dir: the regular files a.ini and d.ini, g.ini a link to a regular file
// elsewhere; b.ini a link to a FIFO (whose path is returned), c.ini and e.ini
// links to /dev/null and /dev/zero, and f.ini a FIFO itself.
inline std::string makeSpecialFilesDir(const vtest::TempDir& dir, const std::string& a,
                                       const std::string& d, const std::string& linked)
{
    QDir(dir.qpath()).mkdir("elsewhere");
    const std::string fifo = dir.file("elsewhere/fifo");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(mkfifo(dir.file("f.ini").c_str(), 0600), 0);
    vtest::writeFile(dir.file("a.ini"), a);
    vtest::writeFile(dir.file("d.ini"), d);
    vtest::writeFile(dir.file("elsewhere/real"), linked);
    EXPECT_EQ(symlink(fifo.c_str(), dir.file("b.ini").c_str()), 0);
    EXPECT_EQ(symlink("/dev/null", dir.file("c.ini").c_str()), 0);
    EXPECT_EQ(symlink("/dev/zero", dir.file("e.ini").c_str()), 0);
    EXPECT_EQ(symlink("elsewhere/real", dir.file("g.ini").c_str()), 0);
    return fifo;
}

#endif
