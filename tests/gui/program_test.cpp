// The KeyPorter program itself, run offscreen as a user would start it.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <string>

#include "gui_app.h"
#include "testutil.h"

namespace {

QStringList work_folders(const QString& tmp) {
  return QDir(tmp).entryList({QStringLiteral("keyporter-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
}

// Stopped by a signal (as the screenshot script and a logout do), the program
// still removes its working folder and touches nothing in its start folder.
TEST(Program, SignalStillRemovesTheWorkingFolder) {
  guitest::app();
  rstest::TempDir tmp, start;
  rstest::write_text(start.file("table.bin"), "user table");
  for (const char* how : {"SIGTERM", "SIGINT"}) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(tmp.path()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QString::fromStdString(start.path()));
    p.start(QStringLiteral(KEYPORTER_BIN), QStringList());
    ASSERT_TRUE(p.waitForStarted()) << how;
    const QString t = QString::fromStdString(tmp.path());
    for (int i = 0; i < 400 && work_folders(t).isEmpty(); ++i) QThread::msleep(25);
    ASSERT_EQ(work_folders(t).size(), 1) << how;
    ::kill(pid_t(p.processId()), std::string(how) == "SIGTERM" ? SIGTERM : SIGINT);
    ASSERT_TRUE(p.waitForFinished()) << how;
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << how;
    EXPECT_TRUE(work_folders(t).isEmpty()) << how;
  }
  EXPECT_EQ(QDir(QString::fromStdString(start.path())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList{"table.bin"});
  EXPECT_EQ(rstest::read_text(start.file("table.bin")), "user table");
}

}  // namespace
