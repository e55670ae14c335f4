// Data out-ports (stand-in host, C++14).
#ifndef RTM_DATAOUTPORT_H
#define RTM_DATAOUTPORT_H

#include <rtm/OutPort.h>

#endif  // RTM_DATAOUTPORT_H
