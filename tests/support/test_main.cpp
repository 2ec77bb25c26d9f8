// main() of every test program: first the run's directories (TMPDIR), then
// Qt's SQL drivers and a few other Qt services want a QCoreApplication.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "suite_run.h"

int main(int argc, char** argv)
{
    vtest::enterRun();
    ::testing::InitGoogleTest(&argc, argv);
    int rc = 0;
    {
        QCoreApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    return vtest::endOwnRun() ? rc : 1;
}
