#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <cstdlib>

#include "platform/journal.h"

namespace quorrel {

bool JournalWanted() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  return stream != nullptr && *stream != '\0';
}

bool JournalSend(const std::vector<std::pair<std::string, std::string>>& fields) {
  if (fields.empty()) return false;
  std::vector<std::string> items;
  items.reserve(fields.size());
  for (const auto& [name, value] : fields) items.push_back(name + "=" + value);
  std::vector<iovec> vectors;
  vectors.reserve(items.size());
  for (std::string& item : items) vectors.push_back(iovec{item.data(), item.size()});
  return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) == 0;
}

}  // namespace quorrel
