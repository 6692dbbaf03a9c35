// The two digests: MD5 (the challenge answer) and SHA-256 (flashed images in
// the simulator's report), with their published test vectors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sha256.h"
#include "util/md5.h"

namespace quorrel {
namespace {

std::string Md5Hex(std::string_view text) {
  Md5 md5;
  md5.Update(text);
  Md5Digest d = md5.Final();
  return sim::HexText(d);
}

TEST(Md5Test, Rfc1321TestSuite) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto [text, hex] : cases) EXPECT_EQ(Md5Hex(text), hex) << '"' << text << '"';
}

TEST(Md5Test, PiecesGiveTheSameDigestAsOneBlock) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31);
  const Md5Digest whole = Md5::Of(data);
  // Split points around the 56- and 64-byte padding edges.
  for (size_t cut : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 999u}) {
    Md5 md5;
    md5.Update(std::span<const uint8_t>(data).first(cut));
    md5.Update(std::span<const uint8_t>(data).subspan(cut));
    EXPECT_EQ(md5.Final(), whole) << cut;
  }
}

TEST(Sha256Test, PublishedVectors) {
  auto hex = [](std::string_view text) {
    return sim::Sha256::HexOf(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string million(1000000, 'a');
  EXPECT_EQ(hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, PiecesGiveTheSameDigestAsOneBlock) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  const sim::Sha256Digest whole = sim::Sha256::Of(data);
  for (size_t cut : {1u, 55u, 56u, 64u, 128u, 299u}) {
    sim::Sha256 sha;
    sha.Update(std::span<const uint8_t>(data).first(cut));
    sha.Update(std::span<const uint8_t>(data).subspan(cut));
    EXPECT_EQ(sha.Final(), whole) << cut;
  }
}

}  // namespace
}  // namespace quorrel
