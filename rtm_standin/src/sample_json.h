// Samples of any IDL data type to and from JSON, by field name.
//
// A port knows its data type only through the type code of a CORBA::Any.
// From it the host builds a TypeSchema once; samples then travel as CDR
// (the generated marshalling code) and are read or written field by field
// in the schema's order.
#ifndef RTM_STANDIN_SAMPLE_JSON_H
#define RTM_STANDIN_SAMPLE_JSON_H

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <omniORB4/CORBA.h>

#include <nlohmann/json.hpp>

namespace rtm_standin {

struct TypeSchema {
  enum class Kind {
    Struct,
    Sequence,
    Array,
    Enum,
    String,
    Boolean,
    Char,
    Octet,
    Short,
    UShort,
    Long,
    ULong,
    LongLong,
    ULongLong,
    Float,
    Double,
    Unsupported
  };
  struct Member {
    std::string name;
    std::shared_ptr<const TypeSchema> type;
  };

  Kind kind = Kind::Unsupported;
  std::string name;                           // struct and enum names
  std::string id;                             // repository id, when there is one
  std::vector<Member> members;                // struct
  std::vector<std::string> labels;            // enum
  std::shared_ptr<const TypeSchema> element;  // sequence, array
  CORBA::ULong bound = 0;                     // sequence/string bound (0: none), array length
  std::string unsupported;                    // what kind of type it is, when Unsupported
};

// Builds the schema of a type code (aliases resolved). Never throws:
// unsupported parts (unions, anys, object references, wide characters,
// long double, fixed, value types) become Unsupported nodes and only fail
// when a sample is converted.
std::shared_ptr<const TypeSchema> schemaOf(CORBA::TypeCode_ptr tc);

// A sample that does not fit its type; the message names the field.
class SampleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// False (with the reason) when some part of the type cannot be converted.
bool convertible(const TypeSchema& schema, std::string& why);

// Reads one sample from `in`. Floating-point values that JSON cannot hold
// are written as the strings "NaN", "Infinity" and "-Infinity".
nlohmann::ordered_json sampleToJson(const TypeSchema& schema, cdrStream& in);

// Writes one sample to `out`. Fields are matched by name; missing fields are
// zero, empty or the first enumerator; unknown fields, wrong types and
// out-of-range numbers are errors. Floating-point fields also accept null or
// the strings "NaN", "Infinity", "-Infinity" ("nan", "inf", "-inf").
// When a top-level "tm" of type RTC::Time is missing it is set to the
// current time.
void sampleFromJson(const TypeSchema& schema, const nlohmann::ordered_json& value, cdrStream& out);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_SAMPLE_JSON_H
