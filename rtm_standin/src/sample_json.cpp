#include "sample_json.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <sstream>
#include <utility>

namespace rtm_standin {

namespace {

using json = nlohmann::ordered_json;

// Deeper nesting than this only comes from recursive types, which samples
// of data ports do not use.
constexpr int kMaxDepth = 32;

const std::pair<CORBA::TCKind, const char*> kUnsupportedKinds[] = {
    {CORBA::tk_union, "union"},
    {CORBA::tk_any, "any"},
    {CORBA::tk_objref, "object reference"},
    {CORBA::tk_wchar, "wchar"},
    {CORBA::tk_wstring, "wstring"},
    {CORBA::tk_longdouble, "long double"},
    {CORBA::tk_fixed, "fixed"},
    {CORBA::tk_value, "valuetype"},
    {CORBA::tk_value_box, "valuetype"},
    {CORBA::tk_TypeCode, "TypeCode"},
    {CORBA::tk_except, "exception"},
};

// The kinds of type besides structs, sequences and arrays that map to JSON.
const CORBA::TCKind kPlainKinds[] = {
    CORBA::tk_enum,      CORBA::tk_string, CORBA::tk_boolean, CORBA::tk_char,  CORBA::tk_octet,
    CORBA::tk_short,     CORBA::tk_ushort, CORBA::tk_long,    CORBA::tk_ulong, CORBA::tk_longlong,
    CORBA::tk_ulonglong, CORBA::tk_float,  CORBA::tk_double};

// The name of a kind of type the host does not map, for messages.
std::string unsupportedName(CORBA::TCKind kind) {
  for (const auto& named : kUnsupportedKinds) {
    if (named.first == kind) {
      return named.second;
    }
  }
  return "type kind " + std::to_string(static_cast<int>(kind));
}

// The type behind any aliases.
CORBA::TypeCode_var unaliased(CORBA::TypeCode_ptr type) {
  CORBA::TypeCode_var tc = CORBA::TypeCode::_duplicate(type);
  while (tc->kind() == CORBA::tk_alias) {
    tc = tc->content_type();
  }
  return tc;
}

// "a, b, c": the names of a struct's fields or an enum's enumerators.
std::string memberNames(CORBA::TypeCode_ptr tc) {
  std::string names;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
    names += (names.empty() ? "" : ", ") + std::string(tc->member_name(i));
  }
  return names;
}

// The repository id of a struct type, else empty.
std::string structId(CORBA::TypeCode_ptr type) {
  CORBA::TypeCode_var tc = unaliased(type);
  return tc->kind() == CORBA::tk_struct ? tc->id() : "";
}

// ---- CDR to JSON -------------------------------------------------------------

json floatToJson(double v) {
  if (std::isnan(v)) {
    return "NaN";
  }
  if (std::isinf(v)) {
    return v > 0 ? "Infinity" : "-Infinity";
  }
  return v;
}

json read(CORBA::TypeCode_ptr type, cdrStream& in, int depth) {
  if (depth > kMaxDepth) {
    throw SampleError("the host cannot convert a recursive type to JSON");
  }
  CORBA::TypeCode_var tc = unaliased(type);
  switch (tc->kind()) {
    case CORBA::tk_struct: {
      json obj = json::object();
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
        CORBA::TypeCode_var member = tc->member_type(i);
        obj[tc->member_name(i)] = read(member, in, depth + 1);
      }
      return obj;
    }
    case CORBA::tk_sequence:
    case CORBA::tk_array: {
      CORBA::ULong n = tc->kind() == CORBA::tk_array ? tc->length() : in.unmarshalULong();
      CORBA::TypeCode_var element = tc->content_type();
      json arr = json::array();
      for (CORBA::ULong i = 0; i < n; ++i) {
        arr.push_back(read(element, in, depth + 1));
      }
      return arr;
    }
    case CORBA::tk_enum: {
      CORBA::ULong v = in.unmarshalULong();
      if (v < tc->member_count()) {
        return tc->member_name(v);
      }
      return v;
    }
    case CORBA::tk_string: {
      char* text = in.unmarshalString();
      json out = std::string(text);
      CORBA::string_free(text);
      return out;
    }
    case CORBA::tk_boolean:
      return static_cast<bool>(in.unmarshalBoolean());
    case CORBA::tk_char:
      return std::string(1, static_cast<char>(in.unmarshalChar()));
    case CORBA::tk_octet:
      return static_cast<unsigned>(in.unmarshalOctet());
    case CORBA::tk_short:
      return in.unmarshalShort();
    case CORBA::tk_ushort:
      return in.unmarshalUShort();
    case CORBA::tk_long:
      return in.unmarshalLong();
    case CORBA::tk_ulong:
      return in.unmarshalULong();
    case CORBA::tk_longlong:
      return static_cast<std::int64_t>(in.unmarshalLongLong());
    case CORBA::tk_ulonglong:
      return static_cast<std::uint64_t>(in.unmarshalULongLong());
    case CORBA::tk_float:
      return floatToJson(in.unmarshalFloat());
    case CORBA::tk_double:
      return floatToJson(in.unmarshalDouble());
    default:
      break;
  }
  throw SampleError("the host cannot convert a " + unsupportedName(tc->kind()) + " to JSON");
}

// ---- JSON to CDR -------------------------------------------------------------

std::string where(const std::string& path) {
  return path.empty() ? std::string("the sample") : "'" + path + "'";
}

std::string join(const std::string& path, const std::string& field) {
  return path.empty() ? field : path + "." + field;
}

std::string typeWord(CORBA::TypeCode_ptr tc) {
  switch (tc->kind()) {
    case CORBA::tk_struct:
      return std::string("an object (") + tc->name() + ")";
    case CORBA::tk_sequence:
    case CORBA::tk_array:
      return "an array";
    case CORBA::tk_enum:
      return std::string("one of the names of ") + tc->name();
    case CORBA::tk_string:
      return "a string";
    case CORBA::tk_boolean:
      return "true or false";
    case CORBA::tk_char:
      return "a one-character string";
    case CORBA::tk_float:
    case CORBA::tk_double:
      return "a number";
    default:
      return "an integer";
  }
}

[[noreturn]] void mismatch(CORBA::TypeCode_ptr tc, const std::string& path) {
  throw SampleError(where(path) + " must be " + typeWord(tc));
}

double toFloating(CORBA::TypeCode_ptr tc, const json& v, const std::string& path) {
  if (v.is_number()) {
    return v.get<double>();
  }
  if (v.is_null()) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (v.is_string()) {
    const std::string text = v.get<std::string>();
    if (text == "NaN" || text == "nan") {
      return std::numeric_limits<double>::quiet_NaN();
    }
    if (text == "Infinity" || text == "inf") {
      return std::numeric_limits<double>::infinity();
    }
    if (text == "-Infinity" || text == "-inf") {
      return -std::numeric_limits<double>::infinity();
    }
  }
  mismatch(tc, path);
}

// Integers arrive as JSON integers or as floating-point numbers with no
// fractional part; anything outside [lo, hi] is refused.
template <typename T>
T toInteger(CORBA::TypeCode_ptr tc, const json& v, const std::string& path) {
  const auto lo = std::numeric_limits<T>::min();
  const auto hi = std::numeric_limits<T>::max();
  bool inRange = false;
  T out = 0;
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    inRange = u <= static_cast<std::uint64_t>(hi);
    out = static_cast<T>(u);
  } else if (v.is_number_integer()) {
    auto i = v.get<std::int64_t>();
    inRange = i < 0 ? (std::numeric_limits<T>::is_signed && i >= static_cast<std::int64_t>(lo))
                    : static_cast<std::uint64_t>(i) <= static_cast<std::uint64_t>(hi);
    out = static_cast<T>(i);
  } else if (v.is_number_float()) {
    double d = v.get<double>();
    if (std::isfinite(d) && std::floor(d) == d) {
      inRange = d >= static_cast<double>(lo) && d <= static_cast<double>(hi);
      out = inRange ? static_cast<T>(d) : 0;
    } else {
      throw SampleError(where(path) + " must be an integer, got " + v.dump());
    }
  } else {
    mismatch(tc, path);
  }
  if (!inRange) {
    std::ostringstream os;
    os << where(path) << " is out of range [" << +lo << ", " << +hi << "]: " << v.dump();
    throw SampleError(os.str());
  }
  return out;
}

// What a missing field is written as: zero, empty or the first enumerator.
json defaultValue(CORBA::TypeCode_ptr type) {
  CORBA::TypeCode_var tc = unaliased(type);
  switch (tc->kind()) {
    case CORBA::tk_struct:
      return json::object();
    case CORBA::tk_sequence:
      return json::array();
    case CORBA::tk_array: {
      CORBA::TypeCode_var element = tc->content_type();
      return json(tc->length(), defaultValue(element));
    }
    case CORBA::tk_string:
      return "";
    case CORBA::tk_boolean:
      return false;
    case CORBA::tk_char:
      return std::string(1, '\0');
    default:
      return 0;  // also for what write() refuses
  }
}

void write(CORBA::TypeCode_ptr type, const json& v, cdrStream& out, const std::string& path,
           int depth) {
  if (depth > kMaxDepth) {
    throw SampleError(where(path) + " is a recursive type, which the host cannot convert");
  }
  CORBA::TypeCode_var tc = unaliased(type);
  switch (tc->kind()) {
    case CORBA::tk_struct: {
      if (!v.is_object()) {
        mismatch(tc, path);
      }
      const CORBA::ULong count = tc->member_count();
      for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (CORBA::ULong i = 0; i < count; ++i) {
          known = known || it.key() == tc->member_name(i);
        }
        if (!known) {
          throw SampleError(std::string(tc->name()) + " has no field '" + join(path, it.key()) +
                            "' (fields: " + memberNames(tc) + ")");
        }
      }
      for (CORBA::ULong i = 0; i < count; ++i) {
        const std::string name = tc->member_name(i);
        const std::string memberPath = join(path, name);
        CORBA::TypeCode_var member = tc->member_type(i);
        auto found = v.find(name);
        if (found != v.end()) {
          write(member, *found, out, memberPath, depth + 1);
        } else if (depth == 0 && name == "tm" && structId(member) == "IDL:RTC/Time:1.0") {
          auto now = std::chrono::system_clock::now().time_since_epoch();
          auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
          out.marshalULong(static_cast<CORBA::ULong>(ns / 1000000000));
          out.marshalULong(static_cast<CORBA::ULong>(ns % 1000000000));
        } else {
          write(member, defaultValue(member), out, memberPath, depth + 1);
        }
      }
      return;
    }
    case CORBA::tk_sequence:
    case CORBA::tk_array: {
      if (!v.is_array()) {
        mismatch(tc, path);
      }
      const CORBA::ULong bound = tc->length();
      if (tc->kind() == CORBA::tk_array && v.size() != bound) {
        throw SampleError(where(path) + " must have exactly " + std::to_string(bound) +
                          " elements, got " + std::to_string(v.size()));
      }
      if (tc->kind() == CORBA::tk_sequence) {
        if (bound != 0 && v.size() > bound) {
          throw SampleError(where(path) + " holds at most " + std::to_string(bound) +
                            " elements, got " + std::to_string(v.size()));
        }
        out.marshalULong(static_cast<CORBA::ULong>(v.size()));
      }
      CORBA::TypeCode_var element = tc->content_type();
      for (std::size_t i = 0; i < v.size(); ++i) {
        write(element, v[i], out, path + "[" + std::to_string(i) + "]", depth + 1);
      }
      return;
    }
    case CORBA::tk_enum: {
      const CORBA::ULong count = tc->member_count();
      if (v.is_string()) {
        for (CORBA::ULong i = 0; i < count; ++i) {
          if (v.get<std::string>() == tc->member_name(i)) {
            out.marshalULong(i);
            return;
          }
        }
        throw SampleError(where(path) + " must be one of " + memberNames(tc) + ", got " + v.dump());
      }
      CORBA::ULong index = toInteger<CORBA::ULong>(tc, v, path);
      if (index >= count) {
        throw SampleError(where(path) + ": no enumerator number " + std::to_string(index));
      }
      out.marshalULong(index);
      return;
    }
    case CORBA::tk_string: {
      if (!v.is_string()) {
        mismatch(tc, path);
      }
      const std::string text = v.get<std::string>();
      if (text.find('\0') != std::string::npos) {
        throw SampleError(where(path) + " must not contain a NUL character");
      }
      if (tc->length() != 0 && text.size() > tc->length()) {
        throw SampleError(where(path) + " holds at most " + std::to_string(tc->length()) +
                          " characters");
      }
      out.marshalString(text.c_str());
      return;
    }
    case CORBA::tk_boolean:
      if (!v.is_boolean()) {
        mismatch(tc, path);
      }
      out.marshalBoolean(v.get<bool>() ? 1 : 0);
      return;
    case CORBA::tk_char: {
      if (!v.is_string() || v.get<std::string>().size() != 1) {
        mismatch(tc, path);
      }
      out.marshalChar(static_cast<CORBA::Char>(v.get<std::string>()[0]));
      return;
    }
    case CORBA::tk_octet:
      return out.marshalOctet(toInteger<CORBA::Octet>(tc, v, path));
    case CORBA::tk_short:
      return out.marshalShort(toInteger<CORBA::Short>(tc, v, path));
    case CORBA::tk_ushort:
      return out.marshalUShort(toInteger<CORBA::UShort>(tc, v, path));
    case CORBA::tk_long:
      return out.marshalLong(toInteger<CORBA::Long>(tc, v, path));
    case CORBA::tk_ulong:
      return out.marshalULong(toInteger<CORBA::ULong>(tc, v, path));
    case CORBA::tk_longlong:
      return out.marshalLongLong(toInteger<CORBA::LongLong>(tc, v, path));
    case CORBA::tk_ulonglong:
      return out.marshalULongLong(toInteger<CORBA::ULongLong>(tc, v, path));
    case CORBA::tk_float:
      return out.marshalFloat(static_cast<CORBA::Float>(toFloating(tc, v, path)));
    case CORBA::tk_double:
      return out.marshalDouble(toFloating(tc, v, path));
    default:
      break;
  }
  throw SampleError(where(path) + " is a " + unsupportedName(tc->kind()) +
                    ", which the host cannot convert");
}

bool convertibleAt(CORBA::TypeCode_ptr type, std::string& why, int depth) {
  if (depth > kMaxDepth) {
    why = "it contains a recursive type";
    return false;
  }
  CORBA::TypeCode_var tc = unaliased(type);
  const CORBA::TCKind kind = tc->kind();
  if (kind == CORBA::tk_struct) {
    for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
      CORBA::TypeCode_var member = tc->member_type(i);
      if (!convertibleAt(member, why, depth + 1)) {
        return false;
      }
    }
    return true;
  }
  if (kind == CORBA::tk_sequence || kind == CORBA::tk_array) {
    CORBA::TypeCode_var element = tc->content_type();
    return convertibleAt(element, why, depth + 1);
  }
  if (std::find(std::begin(kPlainKinds), std::end(kPlainKinds), kind) == std::end(kPlainKinds)) {
    why = "it contains a " + unsupportedName(kind);
    return false;
  }
  return true;
}

}  // namespace

bool convertible(CORBA::TypeCode_ptr type, std::string& why) {
  return convertibleAt(type, why, 0);
}

json sampleToJson(CORBA::TypeCode_ptr type, cdrStream& in) {
  return read(type, in, 0);
}

void sampleFromJson(CORBA::TypeCode_ptr type, const json& value, cdrStream& out) {
  write(type, value, out, "", 0);
}

}  // namespace rtm_standin
