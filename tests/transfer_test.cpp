#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "protocol/wire_text.h"
#include "session/lifecycle.h"
#include "support/raw_peer.h"
#include "support/test_modes.h"
#include "support/test_peer.h"
#include "port/format.h"
#include "port/texts.h"

namespace tovrin::testing {
namespace {

// A tree with nested folders, names whose cp932 form holds a 0x5C trail byte, an empty file
// and sizes around the chunk boundary. Returns the tree's root folder.
std::string MakeTree(const std::string& base) {
  const std::string root = base + "tree表";
  WriteFile(root + "/empty.bin", "");
  WriteFile(root + "/one.bin", "x");
  WriteFile(root + "/ソース/chunk.bin", PatternBytes(32768, 1));
  WriteFile(root + "/ソース/深い/chunk+1.bin", PatternBytes(32769, 2));
  WriteFile(root + "/a/b/c/d.txt", "deep");
  WriteFile(root + "/.hidden", "never sent");
  return root;
}

void ExpectSameTree(const std::string& source, const std::string& copy) {
  std::vector<std::string> expected;
  for (const std::string& file : ListTree(source)) {
    if (file.rfind(".hidden", 0) != 0) expected.push_back(file);
  }
  ASSERT_EQ(ListTree(copy), expected);
  for (const std::string& file : expected) {
    EXPECT_EQ(ReadFile(copy + "/" + file), ReadFile(source + "/" + file)) << file;
  }
}

TEST(Transfer, AFolderTreeArrivesByteForByte) {
  TestPeer a, b;
  const std::string root = MakeTree(a.dir.path() + "src/");
  WriteFile(a.dir.path() + "src/single.txt", "single");
  a.Drop({root, a.dir.path() + "src/single.txt"});
  EXPECT_EQ(a.queue.Entries(),
            (std::vector<std::string>{">" + a.dir.path() + "src/", "tree表", "single.txt"}));
  EXPECT_EQ(a.port.tab(), 1);
  ASSERT_TRUE(ConnectPair(a, b));

  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_TRUE(a.port.HasSendLine(text::kSendDone));
  ExpectSameTree(root, b.session.save_dir + "tree表");
  EXPECT_EQ(ReadFile(b.session.save_dir + "single.txt"), "single");
  EXPECT_TRUE(b.port.HasRecvLine("受信中 [tree表/ソース/chunk.bin] (32768 bytes)"));
  EXPECT_TRUE(a.port.HasSendLine("送信中 [tree表/ソース/深い/chunk+1.bin] (32769 bytes)"));
  // An empty file is offered, created and closed without data.
  EXPECT_TRUE(a.port.HasSendLine("送信先が存在 [tree表/empty.bin]"));
  EXPECT_EQ(a.queue.Count(), 0);
  EXPECT_EQ(b.port.recv_progress(), 0);
  EXPECT_EQ(b.port.status_text(), "0K(0:00)/0K(0:00)");
}

TEST(Transfer, WithSubfoldersTheTreeLandsUnderTheAnnouncedFolder) {
  TestPeer a, b;
  b.port.SetSubfoldersChecked(true);
  const std::string root = MakeTree(a.dir.path() + "src/");
  a.Drop({root});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  // The sender's directory, without its leading separator, is the subfolder.
  const std::string announced = (a.dir.path() + "src/").substr(1);
  ExpectSameTree(root, b.session.save_dir + announced + "tree表");
}

TEST(Transfer, ClassicResumesOneByteBeforeWhatThePeerHolds) {
  TestPeer a, b;
  a.session.classic.store(true);
  const std::string content = PatternBytes(300000, 7);
  WriteFile(a.dir.path() + "big.bin", content);
  WriteFile(a.dir.path() + "whole.bin", "already there");
  // The peer holds a prefix whose last byte is wrong: it is sent again.
  std::string partial = content.substr(0, 100000);
  partial.back() = static_cast<char>(~partial.back());
  WriteFile(b.session.save_dir + "big.bin", partial);
  WriteFile(b.session.save_dir + "whole.bin", "already there, and more");
  a.Drop({a.dir.path() + "big.bin", a.dir.path() + "whole.bin"});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_EQ(ReadFile(b.session.save_dir + "big.bin"), content);
  EXPECT_TRUE(a.port.HasSendLine("(100000 バイトよりレジューム)"));
  EXPECT_TRUE(a.port.HasSendLine("送信先が存在 [whole.bin]"));
  EXPECT_EQ(ReadFile(b.session.save_dir + "whole.bin"), "already there, and more");
}

TEST(Transfer, AnInterruptedBatchContinuesInTheNextSession) {
  TestPeer a, b;
  const std::string content = PatternBytes(40 << 20, 3);
  WriteFile(a.dir.path() + "src/big.bin", content);
  WriteFile(a.dir.path() + "src/after.txt", "after");
  a.Drop({a.dir.path() + "src/big.bin", a.dir.path() + "src/after.txt"});
  ASSERT_TRUE(ConnectPair(a, b));
  const std::string target = b.session.save_dir + "big.bin";
  ASSERT_TRUE(WaitFor([&] {
    struct stat info {};
    return stat(target.c_str(), &info) == 0 && info.st_size > (1 << 20);
  }));
  a.Disconnect();
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded() && b.WorkersEnded(); }));
  // The unfinished item waits behind the header of its directory.
  const std::vector<std::string> left = a.queue.Entries();
  ASSERT_GE(left.size(), 2u);
  EXPECT_EQ(left[0], ">" + a.dir.path() + "src/");
  EXPECT_EQ(left[1], "big.bin");

  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(
      WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }, std::chrono::seconds(60)));
  EXPECT_EQ(ReadFile(target), content);
  EXPECT_EQ(ReadFile(b.session.save_dir + "after.txt"), "after");
  bool resumed = false;
  for (const std::string& line : a.port.send_log())
    resumed |= line.find("バイトよりレジューム") != std::string::npos;
  EXPECT_TRUE(resumed);
}

constexpr std::size_t kBothWaysBytes = kSanitized ? 24 << 20 : 200 << 20;

// Both receive workers must keep reading while their replies wait for the send lock, or two
// peers streaming to each other stop for good.
TEST(Transfer, BothSidesSendAtOnceWhileChatting) {
  TestPeer a, b;
  // Several files each way, so offers and replies cross the other side's data stream.
  std::vector<std::string> to_b, to_a;
  for (uint32_t i = 0; i < 4; ++i) {
    to_b.push_back(PatternBytes(kBothWaysBytes / 4, 20 + i));
    to_a.push_back(PatternBytes(kBothWaysBytes / 4, 40 + i));
    WriteFile(a.dir.path() + "out/to_b" + std::to_string(i), to_b.back());
    WriteFile(b.dir.path() + "out/to_a" + std::to_string(i), to_a.back());
  }
  a.Drop({a.dir.path() + "out"});
  b.Drop({b.dir.path() + "out"});
  ASSERT_TRUE(ConnectPair(a, b));
  for (int i = 0; i < 5; ++i) {
    a.Chat("ping " + std::to_string(i));
    ASSERT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > ping " + std::to_string(i)); }));
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        return a.port.HasRecvLine(text::kReceiveDone) && b.port.HasRecvLine(text::kReceiveDone);
      },
      std::chrono::seconds(120)));
  for (std::size_t i = 0; i < to_b.size(); ++i) {
    EXPECT_TRUE(ReadFile(b.session.save_dir + "out/to_b" + std::to_string(i)) == to_b[i]) << i;
    EXPECT_TRUE(ReadFile(a.session.save_dir + "out/to_a" + std::to_string(i)) == to_a[i]) << i;
  }
}

TEST(Transfer, ClassicUnsendableEntriesAreLoggedAndSkipped) {
  TestPeer a, b;
  b.session.classic.store(true);
  WriteFile(a.dir.path() + "src/ok.txt", "ok");
  WriteFile(a.dir.path() + "src/emoji😀.txt", "no cp932 form");
  WriteFile(a.dir.path() + "src/back\\slash.txt", "would split on the peer");
  // 2 GiB does not fit the protocol's signed 32-bit sizes (a sparse file costs no disk).
  WriteFile(a.dir.path() + "src/huge.bin", "");
  std::filesystem::resize_file(a.dir.path() + "src/huge.bin", 1ull << 31);
  WriteFile(a.dir.path() + "src/ok.txt", "ok");
  a.Drop({a.dir.path() + "src/missing.txt", a.dir.path() + "src/emoji😀.txt",
          a.dir.path() + "src/back\\slash.txt", a.dir.path() + "src/huge.bin",
          a.dir.path() + "src/ok.txt"});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_TRUE(a.port.HasSendLine("ファイルを開けません [missing.txt]"));
  EXPECT_TRUE(a.port.HasSendLine("ファイル名を送信できません [emoji😀.txt]"));
  EXPECT_TRUE(a.port.HasSendLine("ファイル名を送信できません [back\\slash.txt]"));
  EXPECT_TRUE(a.port.HasSendLine("2GB以上のファイルは送信できません [huge.bin]"));
  EXPECT_EQ(ListTree(b.session.save_dir), std::vector<std::string>{"ok.txt"});
}

// A peer that names files outside the save directory, uses handles it was never given and
// seeks before the start gets refusals; nothing is written outside the save directory.
TEST(Transfer, HostileOffersAreRefused) {
  TestPeer a;
  const std::string outside = a.dir.path() + "outside.txt";
  const int port = a.Listen();
  RawPeer raw;
  ASSERT_TRUE(raw.ConnectTo(port));
  a.Accept();
  FrameHeader reply{};
  const std::string refused[] = {std::string("..\\outside.txt\0", 15),
                                 std::string("\\etc\\passwd\0", 12),
                                 std::string("/tmp/x\0", 7),
                                 std::string("C:\\x.txt\0", 9),
                                 std::string("a\\..\\..\\x\0", 10),
                                 std::string("\x81\0", 2),
                                 std::string("\0", 1)};
  for (const std::string& name : refused) {
    ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 10, name));
    ASSERT_TRUE(raw.ReceiveReply(reply));
    EXPECT_EQ(reply.handle, -1) << name;
    EXPECT_EQ(reply.value, -1);
    ASSERT_TRUE(raw.Send(MSG_FILE_DATA, -1, 0, "data"));
    ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, -1, 0, ""));
  }
  // A folder text with ".." makes every offer under it fail while subfolders are on.
  a.port.SetSubfoldersChecked(true);
  ASSERT_TRUE(raw.Send(MSG_FOLDER, 0, 0, std::string("..\\..\\\0", 7)));
  ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 3, std::string("in.txt\0", 7)));
  ASSERT_TRUE(raw.ReceiveReply(reply));
  EXPECT_EQ(reply.handle, -1);
  a.port.SetSubfoldersChecked(false);

  // A good offer: data for any other handle is ignored, a seek before the start stops the file.
  ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 6, std::string("good.txt\0", 9)));
  ASSERT_TRUE(raw.ReceiveReply(reply));
  ASSERT_GE(reply.handle, 3);
  EXPECT_EQ(reply.value, 0);
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle + 1, 0, "wrong"));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, 1, 0, "stdout"));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "abc"));
  ASSERT_TRUE(raw.Send(MSG_FILE_SEEK, reply.handle, -10, ""));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "def"));
  ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, reply.handle, 0, ""));
  ASSERT_TRUE(raw.Send(MSG_BATCH_DONE, 0, 0, ""));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_EQ(ReadFile(a.session.save_dir + "good.txt"), "abc");
  EXPECT_TRUE(a.port.HasRecvLine("書き込みに失敗しました [good.txt]"));
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_EQ(ListTree(a.dir.path()), std::vector<std::string>{"save/good.txt"});
  int refusals = 0;
  for (const std::string& line : a.port.recv_log())
    refusals += line.rfind("ファイルが作成できません", 0) == 0;
  EXPECT_EQ(refusals, 8);
}

// Links inside a dropped folder: one to a folder ("." or a parent would loop) is not entered
// and says so; one to a file is sent as that file.
TEST(Transfer, LinksToFoldersInsideADroppedFolderAreNotEntered) {
  TestPeer a, b;
  const std::string root = a.dir.path() + "src/root";
  WriteFile(root + "/f.txt", "file");
  std::filesystem::create_directory_symlink(".", root + "/loop");
  std::filesystem::create_directory_symlink("..", root + "/up");
  std::filesystem::create_symlink("f.txt", root + "/file-link");
  a.Drop({root});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::kReceiveDone); }));
  EXPECT_EQ(ListTree(b.session.save_dir),
            (std::vector<std::string>{"root/f.txt", "root/file-link"}));
  EXPECT_EQ(ReadFile(b.session.save_dir + "root/file-link"), "file");
  EXPECT_TRUE(a.port.HasSendLine("フォルダへのリンクは送信しません [root/loop]"));
  EXPECT_TRUE(a.port.HasSendLine("フォルダへのリンクは送信しません [root/up]"));
}

// The connection breaks while the sender waits for the reply to its offer: the file goes
// back to the front of the queue under its folder header, for the next session.
TEST(Transfer, AnOfferLeftUnansweredStaysQueuedWhenTheConnectionBreaks) {
  TestPeer a;
  WriteFile(a.dir.path() + "src/waiting.txt", "waiting");
  a.Drop({a.dir.path() + "src/waiting.txt"});
  const int port = a.Listen();
  RawPeer raw;
  ASSERT_TRUE(raw.ConnectTo(port));
  a.Accept();
  FrameHeader header{};
  std::string payload;
  do {
    ASSERT_TRUE(raw.Receive(header, payload));
  } while (header.type != MSG_FILE_OFFER);
  raw.Close();
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  EXPECT_EQ(a.queue.Entries(),
            (std::vector<std::string>{">" + a.dir.path() + "src/", "waiting.txt"}));
}

// An existing target too large for the protocol's sizes, or one that is no regular file
// (a FIFO without a reader would block open()), gets handle -1 and a refusal line, never a
// "receiving" line; the session goes on.
TEST(Transfer, TargetsThatCannotTakeTheFileAreRefusedAndLoggedAsRefused) {
  TestPeer a;
  const std::string save = a.session.save_dir;
  WriteFile(save + "huge.bin", "");
  ASSERT_EQ(::truncate((save + "huge.bin").c_str(), 2147483648), 0);
  ASSERT_EQ(::mkfifo((save + "pipe.bin").c_str(), 0600), 0);
  const int port = a.Listen();
  RawPeer raw;
  ASSERT_TRUE(raw.ConnectTo(port));
  a.Accept();
  for (const std::string name : {"huge.bin", "pipe.bin"}) {
    FrameHeader reply{};
    ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 10, name + '\0'));
    ASSERT_TRUE(raw.ReceiveReply(reply)) << name;
    EXPECT_EQ(reply.handle, -1) << name;
    EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::kCannotCreate, (save + name).c_str())));
    EXPECT_FALSE(a.port.HasRecvLine(FormatLine(text::kReceiving, name.c_str(), 10))) << name;
  }
  ASSERT_TRUE(raw.Send(MSG_CHAT, 0, 0, std::string("still here\0", 11)));
  EXPECT_TRUE(
      WaitFor([&] { return a.port.HasChatLine(FormatLine(text::kChatReceived, "still here")); }));
  EXPECT_EQ(std::filesystem::file_size(save + "huge.bin"), 2147483648u);
}

TEST(Transfer, ASymbolicLinkInTheSaveDirectoryIsNotFollowed) {
  TestPeer a, b;
  WriteFile(a.dir.path() + "src/link.txt", "payload");
  const std::string victim = b.dir.path() + "victim.txt";
  WriteFile(victim, "untouched");
  std::filesystem::create_directories(b.session.save_dir);
  std::filesystem::create_symlink(victim, b.session.save_dir + "link.txt");
  a.Drop({a.dir.path() + "src/link.txt"});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasSendLine("送信不能 [link.txt]"); }));
  EXPECT_EQ(ReadFile(victim), "untouched");
}

}  // namespace
}  // namespace tovrin::testing

namespace tovrin::testing {
namespace {

// With close_after_batch the session ends once the queue is drained, also when the last
// entry was a folder with nothing to send (which ends without a batch end).
TEST(Transfer, CloseAfterBatchEndsTheSessionAfterAnEmptyLastFolder) {
  TestPeer a, b;
  WriteFile(a.dir.path() + "src/file.txt", "content");
  std::filesystem::create_directories(a.dir.path() + "src/empty");
  WriteFile(a.dir.path() + "src/dots/.only", "skipped");
  a.Drop({a.dir.path() + "src/file.txt", a.dir.path() + "src/empty", a.dir.path() + "src/dots"});
  a.session.close_after_batch.store(true);
  // The session may be over before anyone looks: wait for its end, not for it to run.
  b.Connect("127.0.0.1:" + std::to_string(a.Listen()));
  a.Accept();
  ASSERT_TRUE(WaitFor([&] {
    return a.port.CountChatLine(text::kDisconnected) == 1 && a.WorkersEnded() && b.WorkersEnded();
  }));
  EXPECT_EQ(ReadFile(b.session.save_dir + "file.txt"), "content");
  EXPECT_EQ(a.port.CountChatLine(text::kDisconnected), 1);
  EXPECT_EQ(b.port.CountChatLine(text::kDisconnected), 1);
}

}  // namespace
}  // namespace tovrin::testing

namespace tovrin::testing {
namespace {

// The receiver remembers which directory it made last; one removed meanwhile is made again.
TEST(Transfer, ADirectoryRemovedBetweenOffersIsMadeAgain) {
  TestPeer a;
  const int port = a.Listen();
  RawPeer raw;
  ASSERT_TRUE(raw.ConnectTo(port));
  a.Accept();
  FrameHeader reply{};
  for (const char* name : {"d\\a.txt", "d\\b.txt"}) {
    ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 1, std::string(name) + '\0'));
    ASSERT_TRUE(raw.ReceiveReply(reply));
    ASSERT_GE(reply.handle, 0) << name;
    ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "x"));
    ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, reply.handle, 0, ""));
    ASSERT_TRUE(raw.Send(MSG_BATCH_DONE, 0, 0, ""));
    ASSERT_TRUE(WaitFor([&] { return a.port.HasRecvLine(text::kReceiveDone); }));
    std::filesystem::remove_all(a.session.save_dir + "d");
  }
  EXPECT_TRUE(a.port.HasRecvLine("受信中 [d/b.txt] (1 bytes)"));
}

}  // namespace
}  // namespace tovrin::testing
