#include "sample_json.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>

namespace rtm_standin {

namespace {

using json = nlohmann::ordered_json;
using Kind = TypeSchema::Kind;

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

json read(const TypeSchema& s, cdrStream& in) {
  switch (s.kind) {
    case Kind::Struct: {
      json obj = json::object();
      for (const TypeSchema::Member& m : s.members) {
        obj[m.name] = read(*m.type, in);
      }
      return obj;
    }
    case Kind::Sequence:
    case Kind::Array: {
      CORBA::ULong n = s.kind == Kind::Array ? s.bound : in.unmarshalULong();
      json arr = json::array();
      for (CORBA::ULong i = 0; i < n; ++i) {
        arr.push_back(read(*s.element, in));
      }
      return arr;
    }
    case Kind::Enum: {
      CORBA::ULong v = in.unmarshalULong();
      if (v < s.labels.size()) {
        return s.labels[v];
      }
      return v;
    }
    case Kind::String: {
      char* text = in.unmarshalString();
      json out = std::string(text);
      CORBA::string_free(text);
      return out;
    }
    case Kind::Boolean:
      return static_cast<bool>(in.unmarshalBoolean());
    case Kind::Char:
      return std::string(1, static_cast<char>(in.unmarshalChar()));
    case Kind::Octet:
      return static_cast<unsigned>(in.unmarshalOctet());
    case Kind::Short:
      return in.unmarshalShort();
    case Kind::UShort:
      return in.unmarshalUShort();
    case Kind::Long:
      return in.unmarshalLong();
    case Kind::ULong:
      return in.unmarshalULong();
    case Kind::LongLong:
      return static_cast<std::int64_t>(in.unmarshalLongLong());
    case Kind::ULongLong:
      return static_cast<std::uint64_t>(in.unmarshalULongLong());
    case Kind::Float:
      return floatToJson(in.unmarshalFloat());
    case Kind::Double:
      return floatToJson(in.unmarshalDouble());
    case Kind::Unsupported:
      break;
  }
  throw SampleError("the host cannot convert a " + s.unsupported + " to JSON");
}

// ---- JSON to CDR -------------------------------------------------------------

std::string where(const std::string& path) {
  return path.empty() ? std::string("the sample") : "'" + path + "'";
}

std::string join(const std::string& path, const std::string& field) {
  return path.empty() ? field : path + "." + field;
}

std::string typeWord(const TypeSchema& s) {
  switch (s.kind) {
    case Kind::Struct:
      return "an object (" + s.name + ")";
    case Kind::Sequence:
    case Kind::Array:
      return "an array";
    case Kind::Enum:
      return "one of the names of " + s.name;
    case Kind::String:
      return "a string";
    case Kind::Boolean:
      return "true or false";
    case Kind::Char:
      return "a one-character string";
    case Kind::Float:
    case Kind::Double:
      return "a number";
    default:
      return "an integer";
  }
}

[[noreturn]] void mismatch(const TypeSchema& s, const std::string& path) {
  throw SampleError(where(path) + " must be " + typeWord(s));
}

double toFloating(const TypeSchema& s, const json& v, const std::string& path) {
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
  mismatch(s, path);
}

// Integers arrive as JSON integers or as floating-point numbers with no
// fractional part; anything outside [lo, hi] is refused.
template <typename T>
T toInteger(const TypeSchema& s, const json& v, const std::string& path) {
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
    mismatch(s, path);
  }
  if (!inRange) {
    std::ostringstream os;
    os << where(path) << " is out of range [" << +lo << ", " << +hi << "]: " << v.dump();
    throw SampleError(os.str());
  }
  return out;
}

// What a missing field is written as: zero, empty or the first enumerator.
json defaultValue(const TypeSchema& s) {
  switch (s.kind) {
    case Kind::Struct:
      return json::object();
    case Kind::Sequence:
      return json::array();
    case Kind::Array:
      return json(s.bound, defaultValue(*s.element));
    case Kind::String:
      return "";
    case Kind::Boolean:
      return false;
    case Kind::Char:
      return std::string(1, '\0');
    case Kind::Unsupported:
      return nullptr;  // refused by write()
    default:
      return 0;
  }
}

void write(const TypeSchema& s, const json& v, cdrStream& out, const std::string& path,
           bool topLevel) {
  switch (s.kind) {
    case Kind::Struct: {
      if (!v.is_object()) {
        mismatch(s, path);
      }
      for (auto it = v.begin(); it != v.end(); ++it) {
        bool known = false;
        for (const TypeSchema::Member& m : s.members) {
          known = known || m.name == it.key();
        }
        if (!known) {
          std::string names;
          for (const TypeSchema::Member& m : s.members) {
            names += (names.empty() ? "" : ", ") + m.name;
          }
          throw SampleError(s.name + " has no field '" + join(path, it.key()) +
                            "' (fields: " + names + ")");
        }
      }
      for (const TypeSchema::Member& m : s.members) {
        const std::string memberPath = join(path, m.name);
        auto found = v.find(m.name);
        if (found != v.end()) {
          write(*m.type, *found, out, memberPath, false);
        } else if (topLevel && m.name == "tm" && m.type->id == "IDL:RTC/Time:1.0") {
          auto now = std::chrono::system_clock::now().time_since_epoch();
          auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
          out.marshalULong(static_cast<CORBA::ULong>(ns / 1000000000));
          out.marshalULong(static_cast<CORBA::ULong>(ns % 1000000000));
        } else {
          write(*m.type, defaultValue(*m.type), out, memberPath, false);
        }
      }
      return;
    }
    case Kind::Sequence:
    case Kind::Array: {
      if (!v.is_array()) {
        mismatch(s, path);
      }
      if (s.kind == Kind::Array && v.size() != s.bound) {
        throw SampleError(where(path) + " must have exactly " + std::to_string(s.bound) +
                          " elements, got " + std::to_string(v.size()));
      }
      if (s.kind == Kind::Sequence) {
        if (s.bound != 0 && v.size() > s.bound) {
          throw SampleError(where(path) + " holds at most " + std::to_string(s.bound) +
                            " elements, got " + std::to_string(v.size()));
        }
        out.marshalULong(static_cast<CORBA::ULong>(v.size()));
      }
      for (std::size_t i = 0; i < v.size(); ++i) {
        write(*s.element, v[i], out, path + "[" + std::to_string(i) + "]", false);
      }
      return;
    }
    case Kind::Enum: {
      if (v.is_string()) {
        for (std::size_t i = 0; i < s.labels.size(); ++i) {
          if (s.labels[i] == v.get<std::string>()) {
            out.marshalULong(static_cast<CORBA::ULong>(i));
            return;
          }
        }
        std::string names;
        for (const std::string& label : s.labels) {
          names += (names.empty() ? "" : ", ") + label;
        }
        throw SampleError(where(path) + " must be one of " + names + ", got " + v.dump());
      }
      CORBA::ULong index = toInteger<CORBA::ULong>(s, v, path);
      if (index >= s.labels.size()) {
        throw SampleError(where(path) + ": no enumerator number " + std::to_string(index));
      }
      out.marshalULong(index);
      return;
    }
    case Kind::String: {
      if (!v.is_string()) {
        mismatch(s, path);
      }
      const std::string text = v.get<std::string>();
      if (text.find('\0') != std::string::npos) {
        throw SampleError(where(path) + " must not contain a NUL character");
      }
      if (s.bound != 0 && text.size() > s.bound) {
        throw SampleError(where(path) + " holds at most " + std::to_string(s.bound) +
                          " characters");
      }
      out.marshalString(text.c_str());
      return;
    }
    case Kind::Boolean:
      if (!v.is_boolean()) {
        mismatch(s, path);
      }
      out.marshalBoolean(v.get<bool>() ? 1 : 0);
      return;
    case Kind::Char: {
      if (!v.is_string() || v.get<std::string>().size() != 1) {
        mismatch(s, path);
      }
      out.marshalChar(static_cast<CORBA::Char>(v.get<std::string>()[0]));
      return;
    }
    case Kind::Octet:
      return out.marshalOctet(toInteger<CORBA::Octet>(s, v, path));
    case Kind::Short:
      return out.marshalShort(toInteger<CORBA::Short>(s, v, path));
    case Kind::UShort:
      return out.marshalUShort(toInteger<CORBA::UShort>(s, v, path));
    case Kind::Long:
      return out.marshalLong(toInteger<CORBA::Long>(s, v, path));
    case Kind::ULong:
      return out.marshalULong(toInteger<CORBA::ULong>(s, v, path));
    case Kind::LongLong:
      return out.marshalLongLong(toInteger<CORBA::LongLong>(s, v, path));
    case Kind::ULongLong:
      return out.marshalULongLong(toInteger<CORBA::ULongLong>(s, v, path));
    case Kind::Float:
      return out.marshalFloat(static_cast<CORBA::Float>(toFloating(s, v, path)));
    case Kind::Double:
      return out.marshalDouble(toFloating(s, v, path));
    case Kind::Unsupported:
      break;
  }
  throw SampleError(where(path) + " is a " + s.unsupported + ", which the host cannot convert");
}

}  // namespace

json sampleToJson(const TypeSchema& schema, cdrStream& in) {
  return read(schema, in);
}

void sampleFromJson(const TypeSchema& schema, const json& value, cdrStream& out) {
  write(schema, value, out, "", true);
}

}  // namespace rtm_standin
