#include "protocol/wire_text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tovrin {
namespace {

using namespace std::string_literals;

const std::string kHyoWire = "\x95\x5C";  // 表: its trail byte is the separator byte
const std::string kSoWire = "\x83\x5C";   // ソ

TEST(WireText, LeadBytes) {
  EXPECT_FALSE(IsLeadByte(0x5C));
  EXPECT_FALSE(IsLeadByte(0x80));
  EXPECT_TRUE(IsLeadByte(0x81));
  EXPECT_TRUE(IsLeadByte(0x9F));
  EXPECT_FALSE(IsLeadByte(0xA0));
  EXPECT_FALSE(IsLeadByte(0xDF));
  EXPECT_TRUE(IsLeadByte(0xE0));
  EXPECT_TRUE(IsLeadByte(0xFC));
  EXPECT_FALSE(IsLeadByte(0xFD));
  EXPECT_FALSE(IsLeadByte(0xFF));
}

TEST(WireText, ConversionsKeepSeparatorsAndTrailBytes) {
  EXPECT_EQ(Utf8ToCp932("\\"), "\\");
  EXPECT_EQ(Cp932ToUtf8("\\"), "\\");
  EXPECT_EQ(Cp932ToUtf8("~"), "~");
  EXPECT_EQ(Utf8ToCp932("表ソ"), kHyoWire + kSoWire);
  EXPECT_EQ(Cp932ToUtf8(kHyoWire + kSoWire), "表ソ");
  EXPECT_EQ(Utf8ToCp932("ｱ"), "\xB1");  // half-width katakana is one byte
  EXPECT_EQ(Cp932ToUtf8(""), "");

  // Characters that would arrive as another character have no cp932 form.
  EXPECT_EQ(Utf8ToCp932("a¥b"), std::nullopt);  // would become the separator 0x5C
  EXPECT_EQ(Utf8ToCp932("a‾b"), std::nullopt);  // would become '~'
  EXPECT_EQ(Utf8ToCp932("€"), std::nullopt);
  EXPECT_EQ(Utf8ToCp932("\xFF"), std::nullopt);  // not UTF-8
  EXPECT_EQ(Utf8ToCp932Lossy("a¥b€c", '?'), "a?b?c");
  EXPECT_EQ(Utf8ToCp932Lossy("x\xE8\xA1y表", '_'), "x_y" + kHyoWire);  // cut character

  // Invalid cp932 is refused, or shown as '?' for display.
  for (const std::string& bad :
       {"a\x81"s, "\x80"s, "\xA0"s, "\xFD\x40"s, "\xFE"s, "\xFF"s, "\x81\x20"s}) {
    EXPECT_EQ(Cp932ToUtf8(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(Cp932ToUtf8Lossy("a\x80"
                             "b"),
            "a?b");
  EXPECT_EQ(Cp932ToUtf8Lossy("\xFF" + kHyoWire), "?表");
  EXPECT_EQ(Cp932ToUtf8Lossy("ok\x81"), "ok?");
}

TEST(WireText, PayloadTextStopsAtTheFirstNul) {
  const char payload[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(PayloadText(payload, 4), "ab");
  EXPECT_EQ(PayloadText(payload, 2), "ab");  // no NUL within length
  EXPECT_EQ(PayloadText(payload, 0), "");
  EXPECT_EQ(PayloadText(payload, -1), "");
}

TEST(WireText, NamesWithTrailByte5CRoundTrip) {
  const auto wire = LocalToWireName("表/ソ.txt");
  ASSERT_TRUE(wire.has_value());
  EXPECT_EQ(*wire, kHyoWire + "\\" + kSoWire + ".txt");
  EXPECT_EQ(WireNameToLocal(*wire), "表/ソ.txt");
  // A name ending in 表 keeps its trail byte; it is no trailing separator.
  EXPECT_EQ(WireNameToLocal("d\\" + kHyoWire), "d/表");
  EXPECT_EQ(WireNameToLocal(kSoWire), "ソ");

  EXPECT_EQ(LocalToWireName("a\\b.txt"), std::nullopt);  // '\' would split it on the peer
  EXPECT_EQ(LocalToWireName("a¥b.txt"), std::nullopt);
  EXPECT_EQ(LocalToWireName("€.txt"), std::nullopt);
  EXPECT_EQ(LocalToWireName(""), std::nullopt);
}

TEST(WireText, ReceivedNamesStayBelowTheSaveDirectory) {
  EXPECT_EQ(WireNameToLocal("a\\b/c.txt"), "a/b/c.txt");
  EXPECT_EQ(WireNameToLocal("a\\\\.\\b"), "a/b");
  EXPECT_EQ(WireNameToLocal("...\\x..y"), ".../x..y");
  for (const std::string& bad : {""s, "\\x"s, "/x"s, "C:x"s, "c:\\x"s, "..\\x"s, "a\\..\\..\\x"s,
                                 "a/.."s, ".."s, "."s, "\\"s, "a\x81"s, "a\x80"s, "a\0b"s}) {
    EXPECT_EQ(WireNameToLocal(bad), std::nullopt) << bad;
  }
}

TEST(WireText, FolderTexts) {
  EXPECT_EQ(LocalToWireFolder("/home/u/表/"), "\\home\\u\\" + kHyoWire + "\\");
  EXPECT_EQ(LocalToWireFolder("/srv/a:b\\c/€/"), "\\srv\\a_b_c\\_\\");

  EXPECT_EQ(WireFolderToLocal("\\home\\u\\" + kHyoWire + "\\"), "home/u/表/");
  EXPECT_EQ(WireFolderToLocal("C_\\Users\\x\\"), "C_/Users/x/");
  EXPECT_EQ(WireFolderToLocal(""), "");
  EXPECT_EQ(WireFolderToLocal("\\\\"), "");
  EXPECT_EQ(WireFolderToLocal("a\\..\\"), std::nullopt);
  EXPECT_EQ(WireFolderToLocal("a\x81"), std::nullopt);
}

TEST(WireText, NamesThatCp932FoldsOntoAnotherCharacterAreRefused) {
  // Each of these converts to the code of another character and would come back as it:
  // a〜b and a～b would meet in one wire name, and the receiver would mix the two files.
  for (const std::string name : {"a〜b", "¢", "£", "¬", "—", "‖", "−", "a¥b", "a‾b"}) {
    EXPECT_EQ(LocalToWireName(name), std::nullopt) << name;
  }
  EXPECT_TRUE(LocalToWireName("a～b"));  // the fullwidth tilde is cp932's own
  EXPECT_EQ(Utf8ToCp932Lossy("x〜y‖z", '_'), "x_y_z");
}

TEST(WireText, ChatTextStopsAtNulAndIsCutOnACharacter) {
  EXPECT_EQ(ChatTextToWire(std::string("ab\0cd", 5)), "ab");
  // Chat is no path: ¥ goes as the byte Windows peers send for it.
  EXPECT_EQ(ChatTextToWire("a¥b€"), "a\\b?");
  std::string japanese;
  for (int i = 0; i < 600; ++i) japanese += "あ";
  const std::string wire = ChatTextToWire(japanese);
  EXPECT_EQ(wire.size(), 1022u);  // 511 two-byte characters: the 512th would pass 1023 bytes
  EXPECT_EQ(Cp932ToUtf8(wire), japanese.substr(0, 511 * 3));
}

TEST(WireText, LongFolderTextsLoseLeadingComponentsOnly) {
  std::string directory = "/";
  for (int i = 0; i < 50; ++i) directory += "長いフォルダの名前" + std::to_string(i) + "/";
  const std::string wire = LocalToWireFolder(directory);
  ASSERT_LE(wire.size(), 1023u);
  EXPECT_GT(wire.size(), 500u);
  EXPECT_EQ(wire.back(), '\\');
  // What is left is whole components, the innermost ones, so the receiver takes it.
  const auto local = WireFolderToLocal(wire);
  ASSERT_TRUE(local);
  EXPECT_EQ(directory.substr(directory.size() - local->size()), *local);
  EXPECT_EQ(directory[directory.size() - local->size() - 1], '/');
  // Many short components: at most as many as a receiver takes.
  std::string deep = "/";
  for (int i = 0; i < 100; ++i) deep += "d/";
  const auto shallower = WireFolderToLocal(LocalToWireFolder(deep));
  ASSERT_TRUE(shallower);
  EXPECT_EQ(shallower->size(), 2 * MAX_WIRE_DEPTH);
}

TEST(WireText, ReceivedTextsWithControlsOrBeyondTheLimitsAreRefused) {
  std::string deepest;
  for (std::size_t i = 0; i < MAX_WIRE_DEPTH; ++i) deepest += "d\\";
  for (const std::string& bad : {"a\nsend: x"s, "a\x1b[2J"s, "a\tb"s, "a\x7f"s, "\r"s,
                                 std::string(1024, 'a'), deepest + "x"}) {
    EXPECT_EQ(WireNameToLocal(bad), std::nullopt) << bad;
    EXPECT_EQ(WireFolderToLocal(bad + "\\"), std::nullopt) << bad;
  }
  EXPECT_TRUE(WireNameToLocal(std::string(1023, 'a')));
  EXPECT_TRUE(WireNameToLocal(deepest.substr(2) + "x"));
}

TEST(WireText, ConvertsOnSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        if (WireNameToLocal(LocalToWireName("表/ソ").value_or("")) != "表/ソ") ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tovrin
