// The demo release the build generates and links in.
#include <gtest/gtest.h>

#include <cstring>

#include "package/embedded_release.h"
#include "package_fixture.h"
#include "release/demo_release.h"
#include "release/embedded_resources.h"

namespace quorrel {
namespace {

uint32_t Word(std::span<const uint8_t> d, size_t index) {
  size_t o = index * 4;
  return d[o] | d[o + 1] << 8 | d[o + 2] << 16 | static_cast<uint32_t>(d[o + 3]) << 24;
}

std::span<const uint8_t> Res(int id, const char* type = "SOURCEMBN") {
  auto found = EmbeddedResources().Find(id, type);
  EXPECT_TRUE(found) << id;
  return found.value_or(std::span<const uint8_t>());
}

TEST(DemoReleaseTest, EveryEmbeddedFileIsTheGeneratedOne) {
  for (const EmbeddedFile& entry : kEmbeddedFiles) {
    std::span<const uint8_t> data = Res(entry.id);
    std::string file = testing::ReadFile(std::filesystem::path(kDemoReleaseDir) / entry.name);
    ASSERT_EQ(data.size(), file.size()) << entry.name;
    EXPECT_EQ(std::memcmp(data.data(), file.data(), file.size()), 0) << entry.name;
  }
  for (int bitmap : {149, 150, 151, 152}) {
    std::span<const uint8_t> dib = Res(bitmap, "BITMAP");
    ASSERT_EQ(dib.size(), 40u + 1024 + 52 * 16);
    EXPECT_EQ(Word(dib, 1), 50u);  // width
    EXPECT_EQ(Word(dib, 2), 16u);  // height
    EXPECT_EQ(dib[14], 8);         // bits per pixel
  }
}

TEST(DemoReleaseTest, HeadersDescribeTheirImages) {
  struct Case {
    int header;
    int image;
    uint32_t kind;
    uint32_t headerBytes;  // bytes of the described image not counted in its length
  } cases[] = {{163, 164, 2, 0}, {167, 168, 1, 0}, {184, 185, 5, 40}};
  for (const Case& c : cases) {
    std::span<const uint8_t> h = Res(c.header);
    ASSERT_EQ(h.size(), 40u);
    uint32_t length = Res(c.image).size() - c.headerBytes;
    EXPECT_EQ(Word(h, 0), c.kind);
    EXPECT_EQ(Word(h, 1), 3u);
    EXPECT_EQ(Word(h, 4), length);
    EXPECT_EQ(Word(h, 5), length);
    EXPECT_EQ(Word(h, 6), Word(h, 3) + length);
    EXPECT_EQ(Word(h, 8), Word(h, 3) + length);
    EXPECT_EQ(Word(h, 7), 0u);
    EXPECT_EQ(Word(h, 9), 0u);
  }
  // Both programmers begin with the programmer header.
  std::span<const uint8_t> hd = Res(184);
  for (int programmer : {165, 185}) {
    std::span<const uint8_t> p = Res(programmer);
    ASSERT_GT(p.size(), 40u);
    EXPECT_EQ(std::memcmp(p.data(), hd.data(), 40), 0);
    EXPECT_EQ(p.size() - 40, Word(hd, 4));
  }
}

TEST(DemoReleaseTest, PartitionTableAndElfShapes) {
  std::span<const uint8_t> table = Res(169);
  ASSERT_EQ(table.size(), 464u);
  EXPECT_EQ(Word(table, 0), 0xAA7D1B9Au);
  EXPECT_EQ(Word(table, 1), 0x1F7D48BCu);
  EXPECT_EQ(Word(table, 2), 3u);
  EXPECT_EQ(Word(table, 3), 10u);
  EXPECT_STREQ(reinterpret_cast<const char*>(table.data() + 16), "0:MIBIB");
  for (size_t i = 16 + 10 * 28; i < table.size(); ++i) ASSERT_EQ(table[i], 0) << i;

  std::span<const uint8_t> amss = Res(164);
  ASSERT_GT(amss.size(), 48u * 1024);
  EXPECT_EQ(std::memcmp(amss.data(),
                        "\x7F"
                        "ELF\x01\x01\x01",
                        7),
            0);
  EXPECT_EQ(amss[18], 40);  // ARM
  std::span<const uint8_t> efs = Res(166);
  EXPECT_GE(efs.size() / 1024, 24u);
  EXPECT_LE(efs.size() / 1024, 128u);
  std::span<const uint8_t> setup = Res(186);
  EXPECT_EQ(setup[0], 'M');
  EXPECT_EQ(setup[1], 'Z');
}

}  // namespace
}  // namespace quorrel
