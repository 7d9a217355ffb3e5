// Placeholder until the UBI writer lands: both calls refuse.
#include "ubi/ubi_write.h"

namespace rs::ubi {

bool replace_volume(const image&, uint32_t, const std::vector<uint8_t>&, std::vector<uint8_t>*, std::string* why) {
  if (why) *why = "writing UBI images is not supported yet";
  return false;
}

bool build(const build_params&, const std::vector<volume_spec>&, std::vector<uint8_t>*, std::string* why) {
  if (why) *why = "writing UBI images is not supported yet";
  return false;
}

}  // namespace rs::ubi
