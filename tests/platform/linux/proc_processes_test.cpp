#include "platform/linux/proc_processes.h"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/monitor/process_table.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;
using harlune::testing::TempDir;
using harlune::testing::WriteFileText;

// A /proc tree of made-up processes.
class FakeProc {
 public:
  fs::path Process(std::int32_t pid) {
    const fs::path folder = dir_.path() / std::to_string(pid);
    fs::create_directories(folder / "fd");
    return folder;
  }
  void Exe(std::int32_t pid, const std::string& target) {
    fs::create_symlink(target, Process(pid) / "exe");
  }
  void Comm(std::int32_t pid, const std::string& comm, const std::string& cmdline) {
    WriteFileText(Process(pid) / "comm", comm + "\n");
    WriteFileText(Process(pid) / "cmdline", cmdline);
  }
  void Fd(std::int32_t pid, int fd, const std::string& target) {
    fs::create_symlink(target, Process(pid) / "fd" / std::to_string(fd));
  }
  void Socket(std::int32_t pid, int fd, std::uint64_t inode) {
    Fd(pid, fd, "socket:[" + std::to_string(inode) + "]");
  }
  void End(std::int32_t pid) { fs::remove_all(dir_.path() / std::to_string(pid)); }
  std::string Root() const { return dir_.path().string(); }

 private:
  TempDir dir_;
};

TEST(ProcProcessesTest, NamesAndPathsFollowExecutableThenArgvThenComm) {
  FakeProc proc;
  proc.Exe(100, "/usr/bin/python3.11");
  proc.Comm(200, "sshd", std::string("sshd: root@pts/0\0-D\0", 20));
  proc.Comm(300, "gnome-shell-cal", std::string("/usr/libexec/gnome-shell-calendar-server\0", 42));
  proc.Exe(400, "/opt/app/server (deleted)");
  proc.Comm(1000, "kworker/0:1", "");  // a kernel thread: no executable, no argv
  proc.Process(500);                   // ended while listed: no comm either
  fs::create_directories(fs::path(proc.Root()) / "net");
  fs::create_symlink("100", fs::path(proc.Root()) / "self");

  ProcProcesses processes(proc.Root());
  const std::vector<ProcessEntry> list = processes.ListProcesses();
  ASSERT_EQ(list.size(), 5u);
  const std::string error(kProcessErrorText);
  EXPECT_EQ(list[0].processId, 100);
  EXPECT_EQ(list[0].name, "python3.11");
  EXPECT_EQ(list[0].path, "/usr/bin/python3.11");
  EXPECT_EQ(list[1].processId, 200);
  EXPECT_EQ(list[1].name, "sshd");  // argv[0] rewritten by the program
  EXPECT_EQ(list[1].path, error);
  EXPECT_EQ(list[2].name, "gnome-shell-calendar-server");  // longer than comm keeps
  EXPECT_EQ(list[3].name, "server");
  EXPECT_EQ(list[3].path, "/opt/app/server (deleted)");
  EXPECT_EQ(list[4].processId, 1000);  // numeric order, not text order
  EXPECT_EQ(list[4].name, "kworker/0:1");
  EXPECT_EQ(list[4].path, error);

  EXPECT_TRUE(ProcProcesses(proc.Root() + "/missing").ListProcesses().empty());
}

TEST(ProcProcessesTest, ProcessTableAnswersNamesPathsAndIdsOfAName) {
  FakeProc proc;
  proc.Exe(7, "/usr/bin/Firefox");
  proc.Exe(3, "/usr/bin/firefox");
  proc.Exe(5, "/usr/bin/bash");
  ProcProcesses processes(proc.Root());

  ProcessTable table;
  EXPECT_EQ(table.NameOf(3), kUnknownProcessText);
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(5), "bash");
  EXPECT_EQ(table.PathOf(7), "/usr/bin/Firefox");
  EXPECT_EQ(table.NameOf(-1), kUnknownProcessText);
  EXPECT_EQ(table.PathOf(4), kUnknownProcessText);

  EXPECT_EQ(table.IdsOf("FIREFOX"), 3);
  std::vector<std::int32_t> ids = {99};
  EXPECT_EQ(table.IdsOf("firefox", &ids), 3);
  EXPECT_EQ(ids, (std::vector<std::int32_t>{99, 3, 7}));
  EXPECT_EQ(table.IdsOf("firefo"), -1);
  EXPECT_EQ(table.IdsOf("firefox.exe", &ids), -1);
  EXPECT_EQ(ids.size(), 3u);

  // Each refresh starts anew: an ended process is unknown again.
  proc.End(5);
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(5), kUnknownProcessText);
  EXPECT_EQ(table.IdsOf("bash"), -1);

  // A system that lists process 0 names it the system process.
  table.Rebuild({{0, "swapper", "N/A (error)"}, {1, "init", "/sbin/init"}});
  EXPECT_EQ(table.NameOf(0), kSystemProcessName);
  EXPECT_EQ(table.IdsOf("[system process]"), 0);
}

TEST(ProcProcessesTest, RealProcessesIncludeThisOne) {
  ProcProcesses processes;
  ProcessTable table;
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(getpid()), "harlune_tests");
  EXPECT_EQ(fs::path(table.PathOf(getpid())), fs::canonical("/proc/self/exe"));
  if (geteuid() == 0) {
    GTEST_SKIP() << "as root every executable can be read: no refusal to see";
  }
  // Process 1 belongs to root; its executable is not ours to read.
  EXPECT_EQ(table.PathOf(1), kSecurityRestrictionText);
  EXPECT_NE(table.NameOf(1), kUnknownProcessText);
}

TEST(ProcProcessesTest, AProcessWithoutExecutableIsReadOnceWhileItsFolderStays) {
  FakeProc proc;
  proc.Comm(2, "kthreadd", "");
  proc.Comm(30, "worker", "");
  proc.Exe(40, "/usr/bin/app");
  ProcProcesses processes(proc.Root());
  ProcessTable table;
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(2), "kthreadd");
  EXPECT_EQ(table.PathOf(2), kProcessErrorText);

  // The same folder: its comm is not read again.
  WriteFileText(proc.Process(2) / "comm", "renamed\n");
  // A program with an executable is read at every list.
  fs::remove(proc.Process(40) / "exe");
  proc.Exe(40, "/usr/bin/other");
  // Another process of the same id has another folder.
  proc.End(30);
  proc.Comm(30, "next", "");
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(2), "kthreadd");
  EXPECT_EQ(table.NameOf(30), "next");
  EXPECT_EQ(table.NameOf(40), "other");

  // One that ended is forgotten, and its id read afresh when it comes back.
  proc.End(2);
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(2), kUnknownProcessText);
  proc.Comm(2, "again", "");
  table.Rebuild(processes.ListProcesses());
  EXPECT_EQ(table.NameOf(2), "again");
}

TEST(ProcProcessesTest, SocketOwnersComeFromFdLinksAndFirstProcessWins) {
  FakeProc proc;
  proc.Socket(10, 3, 5000);
  proc.Fd(10, 4, "/dev/null");
  proc.Fd(10, 5, "pipe:[5001]");
  proc.Fd(10, 6, "socket:[]");
  proc.Socket(20, 0, 6000);
  proc.Socket(30, 9, 6000);  // inherited by a child: the lower id keeps it
  ProcProcesses processes(proc.Root());

  const std::vector<std::uint64_t> inodes = {5000, 6000, 5001, 0, 0};
  const SocketOwnerMap owners = processes.SocketOwners(inodes);
  EXPECT_EQ(owners, (SocketOwnerMap{{5000, 10}, {6000, 20}}));
}

TEST(ProcProcessesTest, FdFoldersAreReadOnlyWhenAnUnknownSocketAppears) {
  FakeProc proc;
  proc.Socket(10, 3, 5000);
  proc.Socket(20, 3, 6000);
  proc.Process(30);
  ProcProcesses processes(proc.Root());

  std::vector<std::uint64_t> inodes = {5000, 6000};
  EXPECT_EQ(processes.SocketOwners(inodes), (SocketOwnerMap{{5000, 10}, {6000, 20}}));
  EXPECT_EQ(processes.FdFoldersRead(), 3u);

  // Nothing new: nothing read.
  EXPECT_EQ(processes.SocketOwners(inodes).size(), 2u);
  EXPECT_EQ(processes.FdFoldersRead(), 3u);

  // A new process with a new socket: only its folder is read.
  proc.Socket(40, 5, 7000);
  inodes.push_back(7000);
  EXPECT_EQ(processes.SocketOwners(inodes).at(7000), 40);
  EXPECT_EQ(processes.FdFoldersRead(), 4u);

  // A known process accepted a connection: the known ones are read again,
  // those owning sockets first, until it is found.
  proc.Socket(20, 4, 8000);
  inodes.push_back(8000);
  EXPECT_EQ(processes.SocketOwners(inodes).at(8000), 20);
  EXPECT_EQ(processes.FdFoldersRead(), 6u);

  // A socket nobody readable holds is looked for at two calls, not at
  // every call.
  inodes.push_back(9000);
  const std::size_t before = processes.FdFoldersRead();
  EXPECT_FALSE(processes.SocketOwners(inodes).contains(9000));
  EXPECT_EQ(processes.FdFoldersRead(), before + 4);
  EXPECT_FALSE(processes.SocketOwners(inodes).contains(9000));
  EXPECT_EQ(processes.FdFoldersRead(), before + 8);
  EXPECT_FALSE(processes.SocketOwners(inodes).contains(9000));
  EXPECT_EQ(processes.FdFoldersRead(), before + 8);
}

TEST(ProcProcessesTest, AcceptedSocketWhoseDescriptorCameLateIsStillFound) {
  FakeProc proc;
  proc.Socket(10, 3, 5000);
  ProcProcesses processes(proc.Root());
  // The inode is in the table before the accepting process holds it.
  const std::vector<std::uint64_t> inodes = {5000, 5001};
  EXPECT_EQ(processes.SocketOwners(inodes), (SocketOwnerMap{{5000, 10}}));
  proc.Socket(10, 4, 5001);
  EXPECT_EQ(processes.SocketOwners(inodes), (SocketOwnerMap{{5000, 10}, {5001, 10}}));
}

TEST(ProcProcessesTest, SocketOfAnEndedOwnerIsFoundInItsHeirAndClosedOnesForgotten) {
  FakeProc proc;
  proc.Socket(10, 3, 5000);
  proc.Socket(10, 4, 5100);
  ProcProcesses processes(proc.Root());
  const std::vector<std::uint64_t> both = {5000, 5100};
  EXPECT_EQ(processes.SocketOwners(both), (SocketOwnerMap{{5000, 10}, {5100, 10}}));

  // The owner ended; a process it started still holds both sockets.
  proc.End(10);
  proc.Socket(11, 3, 5000);
  proc.Socket(11, 4, 5100);
  EXPECT_EQ(processes.SocketOwners(both), (SocketOwnerMap{{5000, 11}, {5100, 11}}));

  // 5100 leaves the table; when the inode comes back (the counter wrapped)
  // in another process it is looked up afresh, not answered from the past.
  const std::vector<std::uint64_t> one = {5000};
  EXPECT_EQ(processes.SocketOwners(one), (SocketOwnerMap{{5000, 11}}));
  fs::remove(fs::path(proc.Root()) / "11" / "fd" / "4");
  proc.Socket(12, 3, 5100);
  EXPECT_EQ(processes.SocketOwners(both), (SocketOwnerMap{{5000, 11}, {5100, 12}}));
}

std::vector<std::uint64_t> InodesOfRows(const std::vector<TcpTableRow>& rows) {
  std::vector<std::uint64_t> inodes;
  for (const TcpTableRow& row : rows) {
    inodes.push_back(row.inode);
  }
  return inodes;
}

TEST(ProcProcessesTest, RowsGetTheOwnersThatSocketOwnersFinds) {
  FakeProc proc;
  proc.Socket(10, 3, 5000);
  proc.Socket(20, 3, 6000);
  ProcProcesses processes(proc.Root());
  std::vector<TcpTableRow> rows(4);
  rows[0].inode = 5000;
  rows[1].inode = 0;  // TIME_WAIT
  rows[2].inode = 6000;
  rows[3].inode = 9000;  // nobody readable holds it
  rows[3].owningPid = 77;
  processes.FillSocketOwners(rows);
  EXPECT_EQ(rows[0].owningPid, 10);
  EXPECT_EQ(rows[1].owningPid, kUnknownOwner);
  EXPECT_EQ(rows[2].owningPid, 20);
  EXPECT_EQ(rows[3].owningPid, kUnknownOwner);

  // The same table again: the owners from the cache, no folder read once
  // the unowned socket was looked for a second time.
  processes.FillSocketOwners(rows);
  const std::size_t folders = processes.FdFoldersRead();
  processes.FillSocketOwners(rows);
  EXPECT_EQ(processes.FdFoldersRead(), folders);
  EXPECT_EQ(rows[0].owningPid, 10);
  EXPECT_EQ(rows[2].owningPid, 20);

  // The owner ended and its heir holds the socket.
  proc.End(10);
  proc.Socket(11, 3, 5000);
  processes.FillSocketOwners(rows);
  EXPECT_EQ(rows[0].owningPid, 11);
  EXPECT_EQ(processes.SocketOwners(InodesOfRows(rows)), (SocketOwnerMap{{5000, 11}, {6000, 20}}));
}

}  // namespace
}  // namespace harlune
