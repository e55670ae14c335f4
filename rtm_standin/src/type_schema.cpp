#include <string>
#include <utility>

#include "sample_json.h"

namespace rtm_standin {

namespace {

using Kind = TypeSchema::Kind;

// Deeper nesting than this only comes from recursive types, which samples
// of data ports do not use.
constexpr int kMaxDepth = 32;

const std::pair<CORBA::TCKind, Kind> kBasicKinds[] = {
    {CORBA::tk_boolean, Kind::Boolean},     {CORBA::tk_char, Kind::Char},
    {CORBA::tk_octet, Kind::Octet},         {CORBA::tk_short, Kind::Short},
    {CORBA::tk_ushort, Kind::UShort},       {CORBA::tk_long, Kind::Long},
    {CORBA::tk_ulong, Kind::ULong},         {CORBA::tk_longlong, Kind::LongLong},
    {CORBA::tk_ulonglong, Kind::ULongLong}, {CORBA::tk_float, Kind::Float},
    {CORBA::tk_double, Kind::Double},
};

std::shared_ptr<TypeSchema> unsupported(const std::string& what) {
  auto node = std::make_shared<TypeSchema>();
  node->kind = Kind::Unsupported;
  node->unsupported = what;
  return node;
}

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

std::string kindName(CORBA::TCKind kind) {
  for (const auto& named : kUnsupportedKinds) {
    if (named.first == kind) {
      return named.second;
    }
  }
  return "type kind " + std::to_string(static_cast<int>(kind));
}

std::shared_ptr<const TypeSchema> build(CORBA::TypeCode_ptr tc, int depth) {
  if (depth > kMaxDepth) {
    return unsupported("recursive type");
  }
  auto node = std::make_shared<TypeSchema>();
  switch (tc->kind()) {
    case CORBA::tk_alias: {
      CORBA::TypeCode_var content = tc->content_type();
      return build(content.in(), depth + 1);
    }
    case CORBA::tk_struct:
      node->kind = Kind::Struct;
      node->name = tc->name();
      node->id = tc->id();
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
        CORBA::TypeCode_var member = tc->member_type(i);
        node->members.push_back({tc->member_name(i), build(member.in(), depth + 1)});
      }
      return node;
    case CORBA::tk_sequence:
    case CORBA::tk_array: {
      node->kind = tc->kind() == CORBA::tk_array ? Kind::Array : Kind::Sequence;
      node->bound = tc->length();
      CORBA::TypeCode_var content = tc->content_type();
      node->element = build(content.in(), depth + 1);
      return node;
    }
    case CORBA::tk_enum:
      node->kind = Kind::Enum;
      node->name = tc->name();
      node->id = tc->id();
      for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
        node->labels.push_back(tc->member_name(i));
      }
      return node;
    case CORBA::tk_string:
      node->kind = Kind::String;
      node->bound = tc->length();
      return node;
    default:
      for (const auto& basic : kBasicKinds) {
        if (basic.first == tc->kind()) {
          node->kind = basic.second;
          return node;
        }
      }
      return unsupported(kindName(tc->kind()));
  }
}

}  // namespace

std::shared_ptr<const TypeSchema> schemaOf(CORBA::TypeCode_ptr tc) {
  try {
    return build(tc, 0);
  } catch (const CORBA::Exception&) {
    return unsupported("malformed type code");
  }
}

bool convertible(const TypeSchema& schema, std::string& why) {
  switch (schema.kind) {
    case Kind::Unsupported:
      why = "it contains a " + schema.unsupported;
      return false;
    case Kind::Struct:
      for (const TypeSchema::Member& m : schema.members) {
        if (!convertible(*m.type, why)) {
          return false;
        }
      }
      return true;
    case Kind::Sequence:
    case Kind::Array:
      return convertible(*schema.element, why);
    default:
      return true;
  }
}

}  // namespace rtm_standin
