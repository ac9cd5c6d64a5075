#include "source_date_epoch.h"

#include <limits>
#include <string>

namespace pack {

bool ParseSourceDateEpoch(const char* value, std::optional<std::int64_t>& epoch, ErrorSink report) {
  epoch.reset();
  if (value == nullptr) {
    return true;
  }
  const std::string text = value;
  constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max();
  std::int64_t seconds = 0;
  bool valid = !text.empty();
  for (const char digit : text) {
    if (digit < '0' || digit > '9' || seconds > (kLimit - (digit - '0')) / 10) {
      valid = false;
      break;
    }
    seconds = seconds * 10 + (digit - '0');
  }
  if (!valid) {
    report("SOURCE_DATE_EPOCH is not a number of seconds: " + Quoted(text));
    return false;
  }
  epoch = seconds;
  return true;
}

}  // namespace pack
