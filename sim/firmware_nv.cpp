// The firmware's NV items: reads and writes, and the faults that answer them
// otherwise.
#include "sim/firmware_mode.h"

#include <algorithm>

#include "sim/packet_fields.h"
#include "sim/request_codes.h"
#include "util/text.h"

namespace quorrel::sim {

namespace {

// Bytes of the request echoed behind a diagnostic error code.
constexpr size_t kMaxErrorEcho = 256;

}  // namespace

Packet FirmwareMode::ErrorReply(uint8_t error, const Packet& request) {
  const size_t echoed = std::min(request.size(), kMaxErrorEcho);
  Packet reply;
  reply.reserve(1 + echoed);
  reply.push_back(error);
  reply.insert(reply.end(), request.begin(), request.begin() + static_cast<long>(echoed));
  return reply;
}

void FirmwareMode::Nv(const Packet& p) {
  const bool write = p[0] == diag::kNvWrite;
  const uint16_t item = Le16(p, 1);
  if (Le16(p, 131) != 0)
    core_.Violate(Format("NV request for item %u with a status word of %u", item, Le16(p, 131)));
  NvData data{};
  std::copy(p.begin() + 3, p.begin() + 131, data.begin());
  if (FaultyNvReply(p, write, item, data)) return;

  std::optional<uint16_t> forced;
  auto fault = config_.faults.nvStatus.find(item);
  if (fault != config_.faults.nvStatus.end()) {
    const NvStatusFault& f = fault->second;
    std::optional<uint16_t> status = write ? f.write : f.read;
    if (status && (f.count == 0 || nv_fault_uses_[item] < f.count)) {
      ++nv_fault_uses_[item];
      forced = status;
    }
  }

  uint16_t status;
  NvData out = data;
  if (write) {
    status = forced ? *forced : core_.memory.nv.Write(item, data);
    core_.records.nvWrites.push_back({core_.NowMs(), item, data, status});
  } else if (forced) {
    status = *forced;
    out.fill(0);
    if (status == kNvDone) out = core_.memory.nv.Data(item);
  } else {
    status = core_.memory.nv.Read(item, &out);
  }
  Packet r{p[0]};
  PutLe16(r, item);
  r.insert(r.end(), out.begin(), out.end());
  PutLe16(r, status);
  core_.Reply(p[0], r, config_.timings.nvReplyMs);
}

bool FirmwareMode::FaultyNvReply(const Packet& p, bool write, uint16_t item, const NvData& data) {
  const NvReplyFault* fault = nullptr;
  for (size_t i = 0; i < config_.faults.nvReplies.size() && !fault; ++i) {
    const NvReplyFault& f = config_.faults.nvReplies[i];
    if (f.write != write || (f.item && *f.item != item)) continue;
    uint32_t& uses = nv_reply_fault_uses_[i][item];
    if (f.count != 0 && uses >= f.count) continue;
    ++uses;
    fault = &f;
  }
  if (!fault) return false;

  Packet r{p[0]};
  uint16_t status = 0xFFFF;  // no status went back
  switch (fault->kind) {
    case NvReplyFault::Kind::DiagError:
      r = ErrorReply(static_cast<uint8_t>(fault->value), p);
      break;
    case NvReplyFault::Kind::OtherItem: {
      const NvData other = write ? data : core_.memory.nv.Data(fault->value);
      PutLe16(r, fault->value);
      r.insert(r.end(), other.begin(), other.end());
      PutLe16(r, kNvDone);
      status = kNvDone;
      break;
    }
    case NvReplyFault::Kind::Status: {
      const NvData zeros{};
      PutLe16(r, item);
      r.insert(r.end(), zeros.begin(), zeros.end());
      PutLe16(r, fault->value);
      status = fault->value;
      break;
    }
    case NvReplyFault::Kind::Short: {
      const NvData out = write ? data : core_.memory.nv.Data(item);
      PutLe16(r, item);
      r.insert(r.end(), out.begin(), out.end());
      PutLe16(r, kNvDone);
      r.resize(std::min<size_t>(r.size(), fault->value));
      break;
    }
  }
  if (write) core_.records.nvWrites.push_back({core_.NowMs(), item, data, status});
  core_.Reply(p[0], r, config_.timings.nvReplyMs);
  return true;
}

}  // namespace quorrel::sim
