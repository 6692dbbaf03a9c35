// The rule that tells whether the modem attached is the one an NV file was
// saved from, and how its identity is put to the user.
#include "jobs/modem_identity.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

namespace quorrel {
namespace {

constexpr uint16_t kDone = 0, kFail = 4, kNotActive = 5;
constexpr uint16_t kNoAnswer = 0xFFFF;

NvRecord Item(uint16_t item, uint16_t status, uint8_t fill) {
  NvRecord r;
  r.item = item;
  r.status = status;
  if (status == kDone) r.data.fill(fill);
  return r;
}

ModemIdentity Identity(std::optional<uint32_t> esn, NvRecord item0, NvRecord item550) {
  ModemIdentity id;
  id.esn = esn;
  id.item0 = item0;
  id.item550 = item550;
  return id;
}

struct CompareCase {
  const char* name;
  ModemIdentity saved;
  ModemIdentity now;
  IdentityMatch expected;
};

TEST(ModemIdentity, CompareTellsTheSameModemFromAnother) {
  const NvRecord a0 = Item(0, kDone, 0x11), a550 = Item(550, kDone, 0x22);
  const NvRecord b0 = Item(0, kDone, 0x33), b550 = Item(550, kDone, 0x44);
  const NvRecord blank0 = Item(0, kDone, 0), blank550 = Item(550, kDone, 0);
  const NvRecord inactive0 = Item(0, kNotActive, 0), inactive550 = Item(550, kNotActive, 0);
  const NvRecord silent0 = Item(0, kNoAnswer, 0), silent550 = Item(550, kNoAnswer, 0);
  const ModemIdentity saved = Identity(0xA1, a0, a550);
  const ModemIdentity fileOnly = Identity(std::nullopt, a0, a550);

  const CompareCase cases[] = {
      {"everything equal", saved, Identity(0xA1, a0, a550), IdentityMatch::Same},
      {"both items reset to zero by the flash", saved, Identity(0xA1, blank0, blank550),
       IdentityMatch::Same},
      {"both items not active after the flash", saved, Identity(0xA1, inactive0, inactive550),
       IdentityMatch::Same},
      {"one item blank, the other equal", saved, Identity(0xA1, inactive0, a550),
       IdentityMatch::Same},
      {"item 550 differs", saved, Identity(0xA1, a0, b550), IdentityMatch::Other},
      {"item 0 differs, item 550 blank", saved, Identity(0xA1, b0, blank550), IdentityMatch::Other},
      {"ESN differs, items equal", saved, Identity(0xB2, a0, a550), IdentityMatch::Other},
      {"ESN differs, items blank", saved, Identity(0xB2, blank0, inactive550),
       IdentityMatch::Other},
      {"ESN not read", saved, Identity(std::nullopt, a0, a550), IdentityMatch::Unread},
      {"item 550 not answered", saved, Identity(0xA1, a0, silent550), IdentityMatch::Unread},
      {"item 0 answered with a failure", saved, Identity(0xA1, Item(0, kFail, 0), a550),
       IdentityMatch::Unread},
      {"an unread item does not hide another ESN", saved, Identity(0xB2, silent0, a550),
       IdentityMatch::Other},
      {"an unread item does not hide another item", saved, Identity(0xA1, silent0, b550),
       IdentityMatch::Other},
      {"file alone: items equal", fileOnly, Identity(std::nullopt, a0, a550), IdentityMatch::Same},
      {"file alone: item 550 differs", fileOnly, Identity(0xB2, a0, b550), IdentityMatch::Other},
      {"file alone: the modem's ESN is not compared", fileOnly, Identity(0xB2, a0, a550),
       IdentityMatch::Same},
      {"file records blank: nothing to compare", Identity(std::nullopt, blank0, inactive550),
       Identity(std::nullopt, b0, b550), IdentityMatch::Same},
      {"file records not read at backup time", Identity(std::nullopt, silent0, Item(550, kFail, 0)),
       Identity(std::nullopt, b0, b550), IdentityMatch::Same},
      {"ESN alone, equal", Identity(0xA1, silent0, silent550), Identity(0xA1, silent0, silent550),
       IdentityMatch::Same},
      {"ESN alone, differs", Identity(0xA1, silent0, silent550), Identity(0xB2, silent0, silent550),
       IdentityMatch::Other},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CompareIdentity(c.saved, c.now), c.expected);
  }
}

TEST(ModemIdentity, TheTableGivesTheFirstRecordsOfItems0And550BeforeTheEnd) {
  NvTable table = BuildBackupTable();
  table.records[0].data.fill(0x10);
  table.records[712].data.fill(0x20);  // item 550
  ModemIdentity id = IdentityInTable(table, 0x1234);
  EXPECT_EQ(id.esn, 0x1234u);
  EXPECT_EQ(id.item0, table.records[0]);
  EXPECT_EQ(id.item550, table.records[712]);

  // Items after the end marker are not the file's.
  NvTable ended;
  ended.records[0] = Item(kNvEndItem, kDone, 0);
  ended.records[1] = Item(550, kDone, 0x20);
  id = IdentityInTable(ended, std::nullopt);
  EXPECT_FALSE(id.esn);
  EXPECT_EQ(StateOf(id.item550), ItemState::Unknown);
  EXPECT_EQ(StateOf(id.item0), ItemState::Unknown);
}

TEST(ModemIdentity, ImeiDigitsOnlyFromAWellFormedItem550) {
  // 490154203237518: length 8, 0x4A (digit 4, type A), then pairs low
  // nibble first.
  std::array<uint8_t, kNvDataSize> imei{};
  const uint8_t good[] = {0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81};
  std::copy(std::begin(good), std::end(good), imei.begin());
  EXPECT_EQ(ImeiDigits(imei), "490154203237518");

  struct Bad {
    const char* name;
    size_t at;
    uint8_t value;
  };
  for (const Bad& b :
       {Bad{"length", 0, 0x09}, Bad{"type", 1, 0x4B}, Bad{"digit above 9", 5, 0x3C}}) {
    SCOPED_TRACE(b.name);
    std::array<uint8_t, kNvDataSize> spoilt = imei;
    spoilt[b.at] = b.value;
    EXPECT_FALSE(ImeiDigits(spoilt));
  }
  EXPECT_FALSE(ImeiDigits(std::span<const uint8_t>(imei.data(), 8)));
}

TEST(ModemIdentity, DescriptionNamesWhatIsKnownAndWhatIsNot) {
  NvRecord item550 = Item(550, kDone, 0);
  const uint8_t imei[] = {0x08, 0x4A, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81};
  std::copy(std::begin(imei), std::end(imei), item550.data.begin());
  NvRecord item0 = Item(0, kDone, 0);
  for (size_t i = 0; i < 20; ++i) item0.data[i] = static_cast<uint8_t>(0xA0 + i);

  EXPECT_EQ(DescribeIdentity(Identity(0x8A3F21C4, item0, item550), false),
            "ESN 8A3F21C4, IMEI 490154203237518, NV item 0 a0a1a2a3a4a5a6a7a8a9aaabacadaeaf...");
  NvRecord short0 = Item(0, kDone, 0);
  short0.data[0] = 0x70;
  short0.data[1] = 0x5d;
  EXPECT_EQ(DescribeIdentity(Identity(std::nullopt, short0, Item(550, kDone, 0x26)), true),
            "ESN not read, NV item 550 26262626262626262626262626262626..., NV item 0 705d");
  EXPECT_EQ(DescribeIdentity(
                Identity(std::nullopt, Item(0, kNotActive, 0), Item(550, kNoAnswer, 0)), true),
            "ESN not read, NV item 550 not read, NV item 0 blank");
  EXPECT_EQ(DescribeIdentity(Identity(std::nullopt, Item(0, kNoAnswer, 0), Item(550, kNoAnswer, 0)),
                             false),
            "nothing that identifies it");
}

}  // namespace
}  // namespace quorrel
