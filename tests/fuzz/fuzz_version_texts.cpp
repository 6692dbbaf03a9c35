// The version-text reply: its layout chosen by the reply's length, and the
// carrier check on the ninth text. Input: the raw length (16 bits), then the
// unframed packet.
#include "fuzz/fuzz_support.h"
#include "jobs/mode_transitions.h"
#include "services/diag_codec.h"

using namespace quorrel;
using namespace quorrel::fuzz;

namespace {

void CheckInside(const VersionTexts& t, std::string_view text) {
  FUZZ_CHECK(text.data() >= t.bytes.data());
  FUZZ_CHECK(text.data() + text.size() <= t.bytes.data() + t.bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint16_t rawLength = in.Le16();
  const std::span<const uint8_t> packet = in.Rest();

  VersionTexts texts;
  ParseVersionTexts(packet, rawLength, texts);
  for (int n = 1; n <= 9; ++n) CheckInside(texts, texts.Text(n));
  CheckInside(texts, texts.Field10());
  CheckInside(texts, texts.Field11());
  (void)VersionCheckPasses(texts.Text(9));
  return 0;
}
