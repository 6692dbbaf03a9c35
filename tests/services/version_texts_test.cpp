#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "services/diag_codec.h"
#include "services/diag_commands.h"
#include "support/peer_link.h"

namespace quorrel {
namespace {

using testsupport::Bytes;
using testsupport::DiagFrame;
using testsupport::PeerLink;

std::string Chars(char c, size_t n) {
  return std::string(n, c);
}

Bytes Packet(const std::string& content) {
  Bytes packet(content.size() + 1);
  packet[0] = 0x39;
  std::copy(content.begin(), content.end(), packet.begin() + 1);
  return packet;
}

TEST(VersionTextLayout, ChosenByTheRawReplyLength) {
  // Every byte non-zero, no separators: the widths read show the layout.
  std::string content;
  for (size_t i = 0; i < 400; ++i) content += static_cast<char>('A' + i % 26);
  const Bytes packet = Packet(content);
  struct Case {
    uint16_t rawLength;
    size_t text1, text4, text5, text8, text9;
  };
  const Case cases[] = {
      {100, 22, 24, 0, 0, 0},    {130, 22, 24, 0, 0, 0},     {131, 30, 30, 0, 0, 0},
      {240, 30, 30, 0, 0, 0},    {241, 30, 30, 30, 30, 0},   {290, 30, 30, 30, 30, 0},
      {291, 30, 30, 30, 30, 53}, {1024, 30, 30, 30, 30, 53},
  };
  for (const Case& c : cases) {
    VersionTexts t;
    ParseVersionTexts(packet, c.rawLength, t);
    EXPECT_EQ(t.Text(1).size(), c.text1) << c.rawLength;
    EXPECT_EQ(t.Text(4).size(), c.text4) << c.rawLength;
    EXPECT_EQ(t.Text(5).size(), c.text5) << c.rawLength;
    EXPECT_EQ(t.Text(8).size(), c.text8) << c.rawLength;
    EXPECT_EQ(t.Text(9).size(), c.text9) << c.rawLength;
    EXPECT_EQ(t.Text(1), content.substr(0, c.text1)) << c.rawLength;
  }
}

TEST(VersionTextLayout, FieldsAndSingleZeroSeparators) {
  // Shortest layout: 22, 22, 24, 24, 13, 10, each followed by one zero.
  std::string content = Chars('a', 22) + '\0' + Chars('b', 22) + '\0' + Chars('c', 24) + '\0' +
                        Chars('d', 24) + '\0' + Chars('e', 13) + '\0' + Chars('f', 10) + '\0';
  VersionTexts t;
  ParseVersionTexts(Packet(content), 130, t);
  EXPECT_EQ(t.Text(1), Chars('a', 22));
  EXPECT_EQ(t.Text(2), Chars('b', 22));
  EXPECT_EQ(t.Text(3), Chars('c', 24));
  EXPECT_EQ(t.Text(4), Chars('d', 24));
  EXPECT_EQ(t.Text(5), "");
  EXPECT_EQ(t.Text(9), "");
  // A full field 10 runs on into field 11; field 11 ends at the area's end.
  EXPECT_EQ(t.Field10(), Chars('e', 13) + Chars('f', 10));
  EXPECT_EQ(t.Field11(), Chars('f', 10));

  // Only one zero is skipped: a second one starts the next field empty.
  content = Chars('a', 22) + std::string(2, '\0') + Chars('b', 21) + '\0' + Chars('c', 24);
  ParseVersionTexts(Packet(content), 100, t);
  EXPECT_EQ(t.Text(1), Chars('a', 22));
  EXPECT_EQ(t.Text(2), "");  // its 22 bytes are the zero and the 21 b's
  EXPECT_EQ(t.Text(3), Chars('c', 24));

  // Middle layout: four texts of 30, field 10 of 12, field 11 of 9.
  content = Chars('a', 30) + '\0' + Chars('b', 30) + Chars('c', 30) + '\0' + Chars('d', 30) + '\0' +
            Chars('e', 12) + '\0' + Chars('f', 9);
  ParseVersionTexts(Packet(content), 200, t);
  EXPECT_EQ(t.Text(2), Chars('b', 30));
  EXPECT_EQ(t.Text(3), Chars('c', 30));
  EXPECT_EQ(t.Text(4), Chars('d', 30));
  EXPECT_EQ(t.Field10(), Chars('e', 12));
  EXPECT_EQ(t.Field11(), Chars('f', 9));
}

TEST(VersionTextLayout, ShorterReplyLeavesNoTextOfALongerOne) {
  std::string content;
  for (char c = 'a'; c < 'a' + 8; ++c) content += Chars(c, 30);
  VersionTexts t;
  ParseVersionTexts(Packet(content + Chars('x', 31) + Chars('y', 13) + Chars('z', 9)), 300, t);
  ASSERT_EQ(t.Text(9).size(), 53u);
  ParseVersionTexts(Packet(content + Chars('y', 12) + Chars('z', 9)), 280, t);
  EXPECT_EQ(t.Text(9), "");
  EXPECT_EQ(t.Field10(), Chars('y', 12));
}

// A version reply whose frame is exactly rawLength bytes. The last content
// byte is varied until the CRC needs no stuffing.
Bytes ReplyOfLength(std::string content, size_t rawLength) {
  for (char last = 'A'; last <= 'Z'; ++last) {
    content.back() = last;
    Bytes frame = DiagFrame(Packet(content));
    if (frame.size() == rawLength) return frame;
  }
  ADD_FAILURE() << "no frame of " << rawLength << " bytes";
  return {};
}

class VersionTextsTest : public ::testing::Test {
 protected:
  VersionTextsTest() {
    for (char c = 'a'; c < 'a' + 8; ++c) eight += Chars(c, 30);
  }
  PeerLink p;
  std::string eight;  // texts 1 to 8, 30 characters each
};

TEST_F(VersionTextsTest, Reply290UsesTheSecondLayout291TheFirst) {
  // 290 bytes = 287 packet bytes (code + 286) + CRC + flag.
  p.peer.Answer(ReplyOfLength(eight + Chars('X', 46), 290), 10);
  VersionTexts texts;
  ASSERT_EQ(GetVersionTexts(p.link, texts), 1);
  EXPECT_EQ(texts.Text(8), Chars('h', 30));
  EXPECT_EQ(texts.Text(9), "");
  EXPECT_EQ(texts.Field10(), "");  // fields 10 and 11 are not handed out
  EXPECT_EQ(texts.Field11(), "");

  p.peer.Answer(ReplyOfLength(eight + Chars('X', 31) + Chars('Y', 13) + Chars('Z', 3), 291), 10);
  ASSERT_EQ(GetVersionTexts(p.link, texts), 1);
  EXPECT_EQ(texts.Text(1), Chars('a', 30));
  EXPECT_EQ(texts.Text(9).substr(0, 46), Chars('X', 31) + Chars('Y', 13) + "ZZ");
  EXPECT_EQ(texts.Text(9).size(), 47u);
}

TEST_F(VersionTextsTest, FullNinthTextRunsOnToTheLastByte) {
  p.peer.Answer(DiagFrame(Packet(eight + Chars('X', 31) + Chars('Y', 13) + Chars('Z', 9))), 10);
  VersionTexts texts;
  ASSERT_EQ(GetVersionTexts(p.link, texts), 1);
  EXPECT_EQ(texts.Text(9), Chars('X', 31) + Chars('Y', 13) + Chars('Z', 9));
  EXPECT_EQ(texts.bytes[300], 'Z');
  EXPECT_EQ(texts.bytes[301], '\0');
  for (int n = 1; n <= 8; ++n) EXPECT_EQ(texts.Text(n), Chars(static_cast<char>('a' + n - 1), 30));
}

TEST_F(VersionTextsTest, FailureZeroesTheResult) {
  VersionTexts texts;
  texts.bytes.fill('q');
  EXPECT_EQ(GetVersionTexts(p.link, texts), 0);
  EXPECT_EQ(texts.bytes, VersionTexts().bytes);
}

}  // namespace
}  // namespace quorrel
