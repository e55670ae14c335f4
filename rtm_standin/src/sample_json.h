// Samples of any IDL data type to and from JSON, by field name.
//
// A port knows its data type only through the type code of a CORBA::Any.
// Samples travel as CDR (the generated marshalling code) and are read or
// written field by field, walking the type code (aliases resolved). Unions,
// anys, object references, wide characters, long double, fixed and value
// types are not mapped.
#ifndef RTM_STANDIN_SAMPLE_JSON_H
#define RTM_STANDIN_SAMPLE_JSON_H

#include <stdexcept>
#include <string>

#include <omniORB4/CORBA.h>

#include <nlohmann/json.hpp>

namespace rtm_standin {

// A sample that does not fit its type; the message names the field.
class SampleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// False (with the reason) when some part of the type cannot be converted.
bool convertible(CORBA::TypeCode_ptr type, std::string& why);

// Reads one sample from `in`. Floating-point values that JSON cannot hold
// are written as the strings "NaN", "Infinity" and "-Infinity".
nlohmann::ordered_json sampleToJson(CORBA::TypeCode_ptr type, cdrStream& in);

// Writes one sample to `out`. Fields are matched by name; missing fields are
// zero, empty or the first enumerator; unknown fields, wrong types and
// out-of-range numbers are errors. Floating-point fields also accept null or
// the strings "NaN", "Infinity", "-Infinity" ("nan", "inf", "-inf").
// When a top-level "tm" of type RTC::Time is missing it is set to the
// current time.
void sampleFromJson(CORBA::TypeCode_ptr type, const nlohmann::ordered_json& value, cdrStream& out);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_SAMPLE_JSON_H
