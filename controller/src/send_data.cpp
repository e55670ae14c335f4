#include "tolvarine_controller/send_data.h"
#include "tolvarine_controller/receive_data.h"

namespace tolvarine_controller {

// Out of line so that each record's virtual table lives in the library.
SendData::~SendData() = default;
ReceiveData::~ReceiveData() = default;

}  // namespace tolvarine_controller
