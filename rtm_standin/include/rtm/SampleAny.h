// A value of a data port's type as a CORBA::Any, whose type code tells the
// stand-in host the port's data type (C++14). The port templates include it
// after the data types, so that it sees their CORBA::Any operators.
#ifndef RTM_SAMPLEANY_H
#define RTM_SAMPLEANY_H

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

namespace rtm_standin {

template <class DataType>
CORBA::Any sampleAny(const DataType& value) {
  CORBA::Any any;
  any <<= value;
  return any;
}

}  // namespace rtm_standin

#endif  // RTM_SAMPLEANY_H
