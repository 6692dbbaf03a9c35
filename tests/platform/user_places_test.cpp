// What an installed program must not get wrong about this machine: where it
// writes when its own folder is shared, what the user hears when a port may
// not be opened, and what an interrupt still gets done.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "platform/dosdevices.h"
#include "platform/files.h"
#include "platform/port_access.h"
#include "platform/scratch_root.h"
#include "platform/serial_port.h"
#include "platform/termination.h"
#include "platform/user_folders.h"
#include "support/fake_modem_manager.h"

namespace quorrel {
namespace {

using testsupport::ScopedEnv;

class UserPlacesTest : public ::testing::Test {
 protected:
  std::filesystem::path Folder() const { return std::filesystem::path(getenv("QUORREL_ROOT")); }
  quorrel::testing::ScratchRoot root_;
};

TEST_F(UserPlacesTest, AProgramUnderUsrWritesIntoTheUsersFoldersEvenWhenItCouldWriteItsOwn) {
  ScopedEnv data("XDG_DATA_HOME", (Folder() / "data").string());
  ScopedEnv state("XDG_STATE_HOME", (Folder() / "state").string());
  const ProgramFolders installed = ProgramFoldersFor("/usr/bin");
  EXPECT_TRUE(installed.perUser);
  EXPECT_EQ(installed.nvFolder, (Folder() / "data" / "quorrel" / "nv").string());
  EXPECT_EQ(installed.logBase, (Folder() / "state" / "quorrel").string());
  EXPECT_TRUE(std::filesystem::is_directory(installed.nvFolder));
  EXPECT_TRUE(std::filesystem::is_directory(installed.logBase));
  EXPECT_EQ(std::filesystem::status(installed.nvFolder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);

  // A folder of its own that it can write: everything stays there, and the
  // logs under the start folder.
  const ProgramFolders own = ProgramFoldersFor(Folder().string());
  EXPECT_FALSE(own.perUser);
  EXPECT_EQ(own.nvFolder, Folder().string());
  EXPECT_EQ(own.logBase, "");
}

TEST_F(UserPlacesTest, WithoutTheXdgVariablesThePerUserFoldersAreUnderHome) {
  ScopedEnv home("HOME", (Folder() / "home").string());
  ScopedEnv data("XDG_DATA_HOME", "relative/ignored");
  ::unsetenv("XDG_STATE_HOME");
  const ProgramFolders installed = ProgramFoldersFor("/usr/bin");
  EXPECT_EQ(installed.nvFolder, (Folder() / "home" / ".local/share" / "quorrel" / "nv").string());
  EXPECT_EQ(installed.logBase, (Folder() / "home" / ".local/state" / "quorrel").string());
}

TEST_F(UserPlacesTest, TheHelpDocumentIsBesideTheProgramOrInItsInstallation) {
  // Not beside this test program: the path beside it, as the program forms it.
  EXPECT_EQ(ProgramDataFile("no-such-file.pdf"), ExecutableDirectory() + "\\no-such-file.pdf");
}

TEST_F(UserPlacesTest, APortThatMayNotBeOpenedIsNamedOnceWithBothFixes) {
  // Only a user without the right to the tty sees it: a child process that is
  // not root opens a port whose tty is root's alone.
  std::filesystem::permissions(Folder(), std::filesystem::perms(0755));
  const std::filesystem::path tty = Folder() / "ttyUSB7";
  std::ofstream(tty) << "";
  ::chmod(tty.c_str(), 0600);
  ASSERT_TRUE(LinkComPort(14, tty));
  (void)TakePortAccessProblems();

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && ::setuid(65534) != 0) ::_exit(3);
    if (::geteuid() == 0) ::_exit(3);
    bool opened = SystemSerialDevices().Open(14, 115200, 8, 1) != nullptr;
    (void)SystemSerialDevices().Open(14, 115200, 8, 1);  // the same device again
    std::string text;
    for (const std::string& problem : TakePortAccessProblems()) text += problem + "\n";
    if (::write(fds[1], text.data(), text.size()) < 0) ::_exit(4);
    ::_exit(opened ? 2 : 0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "opened anyway, or could not drop root";
  EXPECT_EQ(text, PortAccessText(14, tty.string()) + "\n");
  EXPECT_NE(text.find(tty.string()), std::string::npos);
  EXPECT_NE(text.find("dialout"), std::string::npos);
  EXPECT_NE(text.find("70-quorrel.rules"), std::string::npos);

  // A missing port is no permission problem.
  EXPECT_EQ(SystemSerialDevices().Open(15, 115200, 8, 1), nullptr);
  EXPECT_TRUE(TakePortAccessProblems().empty());
}

TEST_F(UserPlacesTest, AnInterruptRunsTheLastStepAndStillEndsTheProcessByItsSignal) {
#ifdef __SANITIZE_THREAD__
  // The child starts a thread after the fork, which ThreadSanitizer does not
  // support; the CLI's own test (tests/e2e) covers the same path there.
  GTEST_SKIP() << "a thread after fork under ThreadSanitizer";
#endif
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    const int out = fds[1];
    RunBeforeTerminationSignals([out] {
      if (::write(out, "released", 8) < 0) ::_exit(5);
    });
    ::kill(::getpid(), SIGTERM);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  std::string text;
  char buffer[64];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(text, "released");
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

}  // namespace
}  // namespace quorrel
