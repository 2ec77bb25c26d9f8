#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <VIO/ini_file_values_manager.h>

#include "special_files_dir.h"
#include "testutil.h"

#include "exception_text.h"

using vtest::exceptionText;

namespace {

typedef QHash<QString, VParameterDescriptor> Descriptors;

QString q(const std::string& s)
{
    return QString::fromStdString(s);
}

Descriptors withDefault(const QString& name, const QString& value)
{
    Descriptors d;
    d.insert(name, VParameterDescriptor(QVariant::String, name, value));
    return d;
}

} // namespace

TEST(VIniFileValuesManager, LaterFileWins)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("a.ini"), "x = 1\n");
    vtest::writeFile(dir.file("b.ini"), "x = 2\n");
    vtest::writeFile(dir.file("twice.ini"), "x = 1\nx = 2\nonly = here\n");
    EXPECT_EQ(VIniFileValuesManager(QStringList() << q(dir.file("a.ini")) << q(dir.file("b.ini")), Descriptors{})
                  .getValue("x"),
              "2");
    EXPECT_EQ(VIniFileValuesManager(QStringList() << q(dir.file("b.ini")) << q(dir.file("a.ini")), Descriptors{})
                  .getValue("x"),
              "1");
    VIniFileValuesManager twice(QStringList(q(dir.file("twice.ini"))), Descriptors{});
    EXPECT_EQ(twice.getValue("x"), "2");
    // Names no descriptor declares are answered and listed too.
    EXPECT_EQ(twice.getValue("only"), "here");
    EXPECT_EQ(twice.getValuesList(), INI_VALUES_LIST_t() << qMakePair(QByteArray("only"), QByteArray("here"))
                                                         << qMakePair(QByteArray("x"), QByteArray("2")));
}

TEST(VIniFileValuesManager, DirectoryReadsEveryReadableFile)
{
    vtest::TempDir dir;
    for (const char* name : {"10.ini", "9.ini", "B.ini", "a.ini", "a.ini~"})
        vtest::writeFile(dir.file(name), std::string("x = ") + name + "\n");
    vtest::writeFile(dir.file("notes.txt"), "y=1\n");
    vtest::writeFile(dir.file(".hidden"), "x = hidden\nh = 1\n");
    QDir(dir.qpath()).mkdir("sub");
    vtest::writeFile(dir.file("sub/z.ini"), "z = 1\n");
    VIniFileValuesManager m(QStringList(dir.qpath() + "/"), Descriptors{});
    EXPECT_EQ(m.getValue("x"), "B.ini");
    EXPECT_EQ(m.getValue("y"), "1");
    EXPECT_FALSE(m.containsValue("h"));
    EXPECT_FALSE(m.containsValue("z"));
}

// Every readable regular file of a directory is read, links to one
// included; links to a FIFO or a device, and a FIFO itself, are skipped.
TEST(VIniFileValuesManager, DirectorySkipsSpecialFiles)
{
    vtest::TempDir dir;
    makeSpecialFilesDir(dir, "x = a\na = 1\n", "x = d\nd = 1\n", "g = linked\n");

    VIniFileValuesManager m(QStringList(dir.qpath()), Descriptors{});
    EXPECT_EQ(m.getValue("x"), "d");
    EXPECT_EQ(m.getValue("g"), "linked");
    EXPECT_EQ(m.getValuesList().size(), 4);
    EXPECT_EQ(exceptionText([&] { m.addIniFile(q(dir.file("b.ini"))); }),
              "VIO/ini_file_values_manager:73 Error to access the " + dir.file("b.ini")
                  + " file (is not a regular file, does not exists, wrong permissions or is not readable)");
}

TEST(VIniFileValuesManager, DefaultsFillOnlyUndefinedNames)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("p.ini"), "p =\n");
    VIniFileValuesManager none(QStringList{}, withDefault("p", "d"));
    EXPECT_EQ(none.getValue("p"), "d");
    EXPECT_TRUE(none.containsValue("p"));

    VIniFileValuesManager emptyInFile(QStringList(q(dir.file("p.ini"))), withDefault("p", "d"));
    EXPECT_TRUE(emptyInFile.getValue("p").isEmpty());

    VIniFileValuesManager emptyDefault(QStringList{}, withDefault("p", QString("")));
    EXPECT_TRUE(emptyDefault.containsValue("p"));

    VIniFileValuesManager nullDefault(QStringList{}, withDefault("p", QString()));
    EXPECT_FALSE(nullDefault.containsValue("p"));
    EXPECT_EQ(exceptionText([&] { nullDefault.getValue("p"); }),
              "VIO/ini_file_values_manager:128 The parameter 'p' is not defined in any of the INI file(s): ");
}

TEST(VIniFileValuesManager, SetValueAndReread)
{
    vtest::TempDir dir;
    const QString file = q(dir.file("p.ini"));
    vtest::writeFile(dir.file("p.ini"), "p = file\ny = old\n");
    VIniFileValuesManager m(QStringList(file), Descriptors{});
    m.setValue("p", "v");
    m.setValue("fresh", "n");
    EXPECT_EQ(m.getValue("p"), "v");
    EXPECT_EQ(m.getValue("fresh"), "n");
    m.addIniFile(QFileInfo(file));
    EXPECT_EQ(m.getValue("p"), "file");

    // A re-read file that no longer names y leaves y as it was.
    vtest::writeFile(dir.file("p.ini"), "p = new\n");
    m.addIniFile(file);
    EXPECT_EQ(m.getValue("p"), "new");
    EXPECT_EQ(m.getValue("y"), "old");
    m.setValue("y", "set");
    EXPECT_EQ(m.getValue("y"), "set");
    EXPECT_EQ(m.getValuesList().size(), 3);
}

TEST(VIniFileValuesManager, ErrorTexts)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("a.ini"), "a = 1\n");
    vtest::writeFile(dir.file("b.ini"), "b = 1\n");
    const QString a = q(dir.file("a.ini"));
    const QString b = q(dir.file("b.ini"));

    VIniFileValuesManager empty(QStringList{}, Descriptors{});
    EXPECT_EQ(exceptionText([&] { empty.getValue("q"); }),
              "VIO/ini_file_values_manager:128 The parameter 'q' is not defined in any of the INI file(s): ");
    EXPECT_EQ(exceptionText([] { VIniFileValuesManager m(QStringList("/nonexistent"), Descriptors{}); }),
              "VIO/ini_file_values_manager:97 Error to access the /nonexistent file (is not a regular "
              "file/directory or it does not exists)");
    EXPECT_EQ(exceptionText([&] { empty.addIniFile(QFileInfo(dir.qpath())); }),
              "VIO/ini_file_values_manager:73 Error to access the " + dir.path()
                  + " file (is not a regular file, does not exists, wrong permissions or is not readable)");
    EXPECT_EQ(exceptionText([&] { empty.addIniDir(QFileInfo(a)); }),
              "VIO/ini_file_values_manager:29 Error to access the " + a.toStdString()
                  + " file (is not a directory file, does not exists, wrong permissions or is not readable)");

    // Relative names are reported by their absolute path.
    const QString oldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.qpath()));
    EXPECT_EQ(exceptionText([&] { empty.addIniFile(QString("missing.ini")); }),
              "VIO/ini_file_values_manager:73 Error to access the " + dir.path()
                  + "/missing.ini file (is not a regular file, does not exists, wrong permissions or is not readable)");
    QDir::setCurrent(oldCwd);

    // The file list comes in the order the files were read.
    VIniFileValuesManager two(QStringList() << b << a, Descriptors{});
    EXPECT_EQ(exceptionText([&] { two.getValue("q"); }),
              "VIO/ini_file_values_manager:128 The parameter 'q' is not defined in any of the INI file(s): "
                  + b.toStdString() + ", " + a.toStdString());
    two.addIniFile(b);
    EXPECT_EQ(exceptionText([&] { two.getValue("q"); }),
              "VIO/ini_file_values_manager:128 The parameter 'q' is not defined in any of the INI file(s): "
                  + b.toStdString() + ", " + a.toStdString());
}

TEST(VIniFileValuesManager, UnreadableFilesAsUnprivilegedUser)
{
    // Files that other users may not read need an owner other than the reader.
    if (!vtest::canRunAttacker())
        GTEST_SKIP() << "needs root";
    vtest::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    QDir(dir.qpath()).mkdir("conf");
    ASSERT_EQ(chmod(dir.file("conf").c_str(), 0755), 0);
    vtest::writeFile(dir.file("conf/open.ini"), "x = open\n");
    vtest::writeFile(dir.file("conf/secret.ini"), "x = secret\n");
    ASSERT_EQ(chmod(dir.file("conf/open.ini").c_str(), 0644), 0);
    ASSERT_EQ(chmod(dir.file("conf/secret.ini").c_str(), 0600), 0);
    const QString conf = q(dir.file("conf"));
    const QString secret = q(dir.file("conf/secret.ini"));
    // Root reads anything: check as an unprivileged user in a child.
    const pid_t pid = vtest::forkChild([&]() -> int {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 10;
        VIniFileValuesManager m(QStringList(conf), Descriptors{});
        if (m.getValue("x") != "open")
            return 11;
        const std::string text = exceptionText([&] { VIniFileValuesManager f(QStringList(secret), Descriptors{}); });
        const std::string expected = "VIO/ini_file_values_manager:73 Error to access the " + secret.toStdString()
                                     + " file (is not a regular file, does not exists, wrong permissions or is not readable)";
        return text == expected ? 0 : 12;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VIniFileValuesManager, FailedRereadKeepsEarlierReading)
{
    vtest::TempDir dir;
    const std::string path = dir.file("p.ini");
    vtest::writeFile(path, "p = 1\n");
    // The file passes every check but cannot be opened: no descriptor is left
    // (in a child, so the limit stays there).
    const pid_t pid = vtest::forkChild([&]() -> int {
        VIniFileValuesManager m(QStringList(q(path)), Descriptors{});
        vtest::writeFile(path, "p = 2\n");
        const rlimit limit = {128, 128};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 10;
        std::vector<int> fds;
        for (int fd; (fd = dup(0)) >= 0;)
            fds.push_back(fd);
        const std::string text = exceptionText([&] { m.addIniFile(q(path)); });
        for (int fd : fds)
            close(fd);
        if (text != "VIO/php_ini_parser:299 Error: can't open \"" + path + "\" for parsing")
            return 11;
        if (m.getValue("p") != "1")
            return 12;
        if (exceptionText([&] { m.getValue("q"); }).find(path) == std::string::npos)
            return 13;
        m.addIniFile(q(path));
        return m.getValue("p") == "2" ? 0 : 14;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VIniFileValuesManager, OwnsEveryParserOnce)
{
    // Run under AddressSanitizer: replaced parsers, a failing constructor and
    // destruction must neither leak nor free twice.
    vtest::TempDir dir;
    const QString file = q(dir.file("r.ini"));
    vtest::writeFile(dir.file("r.ini"), "a = 1\nb = 1\n");
    {
        VIniFileValuesManager m(QStringList(file), withDefault("d", "x"));
        vtest::writeFile(dir.file("r.ini"), "a = 2\n");
        m.addIniFile(file);
        vtest::writeFile(dir.file("r.ini"), "a = 3\nb = 3\n");
        m.addIniFile(file);
        m.addIniFile(file);
        EXPECT_EQ(m.getValue("a"), "3");
        EXPECT_EQ(m.getValue("b"), "3");
        EXPECT_EQ(m.getValue("d"), "x");
    }
    EXPECT_NE(exceptionText([&] { VIniFileValuesManager m(QStringList() << file << dir.qpath() << "/nonexistent", Descriptors{}); }),
              "<no exception>");
}
