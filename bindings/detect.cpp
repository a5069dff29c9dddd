#include "py_common.hpp"
#include "subsystems.hpp"

namespace hm::py {

void register_detect(nb::module_ m) { (void)m; }

}  // namespace hm::py
