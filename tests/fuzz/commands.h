// The commands the reply targets run, numbered as their inputs' first byte
// chooses them; the seed program runs the same ones against the simulator.
#pragma once

#include <array>
#include <cstdint>

#include "download/dmss.h"
#include "download/streaming.h"
#include "link/phone_link.h"
#include "services/diag_commands.h"

namespace quorrel::fuzz {

inline constexpr uint8_t kDiagCommands = 17;
inline constexpr uint8_t kDownloadCommands = 13;
// The download target's choice for: blocks sent without waiting, then the
// queued replies collected.
inline constexpr uint8_t kCollectReplies = 0xFF;

inline void RunDiagCommand(uint8_t which, PhoneLink& link) {
  std::array<uint8_t, kNvDataSize> nv{};
  uint16_t status = 0;
  switch (which % kDiagCommands) {
    case 0: {
      uint32_t esn = 0;
      (void)GetEsn(link, esn);
      break;
    }
    case 1:
      (void)ResetPhone(link);
      break;
    case 2:
      (void)PutOffline(link);
      break;
    case 3:
      (void)ChangeModeFour(link);
      break;
    case 4: {
      std::array<char, kBuildTextSize> text{};
      (void)GetBuildVersion(link, text);
      break;
    }
    case 5: {
      VersionTexts texts;
      (void)GetVersionTexts(link, texts);
      break;
    }
    case 6:
      (void)SwitchToDownloader(link);
      break;
    case 7:
      (void)SendCommand5C(link);
      break;
    case 8:
      (void)PollReady(link);
      break;
    case 9:
      (void)SendSpc(link);
      break;
    case 10:
      (void)ReadNvItem(link, 550, nv, status);
      break;
    case 11:
      (void)WriteNvItem(link, 4051, nv, status);
      break;
    case 12:
      (void)SetVendorSwitchAA(link, 1);
      break;
    case 13:
      (void)SetAutorun(link, 0);
      break;
    case 14: {
      std::array<uint8_t, kDeviceValueSize> value{};
      (void)GetDeviceValue(link, value);
      break;
    }
    case 15: {
      std::array<uint8_t, kDeviceAnswerSize> answer{};
      (void)SetDeviceValue(link, answer);
      break;
    }
    default:
      (void)CheckCommunication(link);
      break;
  }
}

// A block of data for the write commands.
inline const std::array<uint8_t, kMaxWriteData>& Block() {
  static const std::array<uint8_t, kMaxWriteData> block = [] {
    std::array<uint8_t, kMaxWriteData> b{};
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 0x7D);
    return b;
  }();
  return block;
}

inline void RunDownloadCommand(uint8_t which, PhoneLink& link) {
  const uint8_t* block = Block().data();
  switch (which % kDownloadCommands) {
    case 0:
      (void)DmssNoOp(link);
      break;
    case 1: {
      FlashParameters parameters;
      (void)DmssGetParameters(link, parameters);
      break;
    }
    case 2:
      (void)DmssWrite(link, block, 0x00800000, 1017);
      break;
    case 3:
      (void)DmssGo(link, 0x80, 0);
      break;
    case 4:
      (void)DmssReset(link);
      break;
    case 5:
      (void)StreamHello(link);
      break;
    case 6:
      (void)StreamSecurityMode(link);
      break;
    case 7:
      (void)StreamPartitionTable(link, block, 200);
      break;
    case 8:
      (void)StreamOpenMultiImage(link, static_cast<uint8_t>(which >> 4), block, 300);
      break;
    case 9:
      (void)StreamWrite(link, block, 0x400, 1024);
      break;
    case 10:
      (void)StreamClose(link);
      break;
    case 11:
      (void)StreamReset(link);
      break;
    default:
      (void)StreamNoOp(link);
      break;
  }
}

}  // namespace quorrel::fuzz
