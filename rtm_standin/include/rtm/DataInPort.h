// Data in-ports (stand-in host, C++14).
#ifndef RTM_DATAINPORT_H
#define RTM_DATAINPORT_H

#include <rtm/InPort.h>

#endif  // RTM_DATAINPORT_H
