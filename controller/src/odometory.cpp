#include "tolvarine_controller/odometory.h"

namespace tolvarine_controller {

// Out of line so that the record's virtual table lives in the library.
Odometory::~Odometory() = default;

}  // namespace tolvarine_controller
