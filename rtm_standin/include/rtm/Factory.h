// Factory callback types of a component type.
#ifndef RTM_FACTORY_H
#define RTM_FACTORY_H

#include <rtm/RTC.h>

#endif  // RTM_FACTORY_H
