#ifndef TOLVARINE_CONTROLLER_TOLVARINE_CONTROLLER_H
#define TOLVARINE_CONTROLLER_TOLVARINE_CONTROLLER_H

// Everything a program needs to drive the wheelchair through the library.
#include "tolvarine_controller/auto_controller.h"
#include "tolvarine_controller/controller.h"
#include "tolvarine_controller/export.h"
#include "tolvarine_controller/frame.h"
#include "tolvarine_controller/joystick_controller.h"
#include "tolvarine_controller/link_state.h"
#include "tolvarine_controller/odometory.h"
#include "tolvarine_controller/receive_converter.h"
#include "tolvarine_controller/receive_data.h"
#include "tolvarine_controller/send_converter.h"
#include "tolvarine_controller/send_data.h"
#include "tolvarine_controller/send_function_converter.h"
#include "tolvarine_controller/wheel_status.h"

#endif  // TOLVARINE_CONTROLLER_TOLVARINE_CONTROLLER_H
