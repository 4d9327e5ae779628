#include "sim/models/record.h"

#include <cstring>

#include "platform/res/res.h"

namespace sim {

namespace {

bool fail(std::string* err, const std::string& what) {
  *err = what;
  return false;
}

bool put_uint(std::span<uint8_t> out, std::size_t at, std::size_t width, const nlohmann::json& v, const std::string& name,
              std::string* err) {
  if (!v.is_number_integer() && !v.is_number_unsigned()) return fail(err, name + ": not an integer");
  long long x = v.get<long long>();
  unsigned long long limit = width >= 4 ? 0xFFFFFFFFull : (1ull << (8 * width)) - 1;
  // Negative values are taken as their two's complement in the field.
  if (x < -static_cast<long long>(limit / 2 + 1) || (x > 0 && static_cast<unsigned long long>(x) > limit))
    return fail(err, name + ": " + std::to_string(x) + " does not fit in " + std::to_string(width) + " bytes");
  if (at + width > out.size()) return fail(err, name + ": past the end of the record");
  uint64_t u = static_cast<uint64_t>(x);
  for (std::size_t i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(u >> (8 * i));  // little-endian
  return true;
}

bool put_bytes(std::span<uint8_t> out, std::size_t at, std::size_t size, const nlohmann::json& v, bool string,
               const std::string& name, std::string* err) {
  std::vector<uint8_t> b;
  if (v.is_string()) {
    auto s = v.get<std::string>();
    b.assign(s.begin(), s.end());
    // A string field keeps room for its terminator.
    if (string && b.size() >= size) return fail(err, name + ": longer than " + std::to_string(size - 1));
  } else if (v.is_array()) {
    for (auto& e : v) {
      if (!e.is_number_unsigned() && !e.is_number_integer()) return fail(err, name + ": byte list holds a non-number");
      long long x = e.get<long long>();
      if (x < 0 || x > 255) return fail(err, name + ": byte " + std::to_string(x) + " out of range");
      b.push_back(static_cast<uint8_t>(x));
    }
  } else {
    return fail(err, name + ": not a string or byte list");
  }
  if (b.size() > size || at + b.size() > out.size()) return fail(err, name + ": does not fit");
  std::memcpy(out.data() + at, b.data(), b.size());
  return true;
}

bool encode_at(const Schema& schema, const nlohmann::json& j, std::span<uint8_t> out, std::size_t base,
               const std::string& path, std::string* err);

bool put_field(const Field& f, const nlohmann::json& v, std::span<uint8_t> out, std::size_t base,
               const std::string& path, std::string* err) {
  std::string name = path + f.name;
  std::size_t at = base + f.offset;
  switch (f.kind) {
    case FieldKind::U8: return put_uint(out, at, 1, v, name, err);
    case FieldKind::U16: return put_uint(out, at, 2, v, name, err);
    case FieldKind::U32: return put_uint(out, at, 4, v, name, err);
    case FieldKind::Str: return put_bytes(out, at, f.size, v, true, name, err);
    case FieldKind::Bytes: return put_bytes(out, at, f.size, v, false, name, err);
    case FieldKind::Struct: return encode_at(*f.sub, v, out, at, name + ".", err);
    case FieldKind::Array: {
      if (!v.is_array()) return fail(err, name + ": not a list");
      if (v.size() > f.max) return fail(err, name + ": more than " + std::to_string(f.max) + " entries");
      for (std::size_t i = 0; i < v.size(); ++i)
        if (!encode_at(*f.sub, v[i], out, at + i * f.size, name + "[" + std::to_string(i) + "].", err)) return false;
      if (f.count_at >= 0)
        return put_uint(out, base + static_cast<std::size_t>(f.count_at), 4, v.size(), name + " count", err);
      return true;
    }
  }
  return fail(err, name + ": unknown field kind");
}

bool put_raw(const nlohmann::json& pokes, std::span<uint8_t> out, std::size_t base, const std::string& path,
             std::string* err) {
  if (!pokes.is_array()) return fail(err, path + "raw: not a list");
  for (auto& p : pokes) {
    if (!p.is_object() || !p.contains("at") || !p["at"].is_number_unsigned())
      return fail(err, path + "raw: each entry needs \"at\"");
    std::size_t at = base + p["at"].get<std::size_t>();
    std::string name = path + "raw@" + std::to_string(at);
    bool ok = true;
    for (auto& [k, v] : p.items()) {
      if (k == "at") continue;
      if (k == "u8") ok = put_uint(out, at, 1, v, name, err);
      else if (k == "u16") ok = put_uint(out, at, 2, v, name, err);
      else if (k == "u32") ok = put_uint(out, at, 4, v, name, err);
      else if (k == "str" || k == "bytes") ok = put_bytes(out, at, out.size() - std::min(at, out.size()), v, false, name, err);
      else return fail(err, name + ": unknown kind " + k);
      if (!ok) return false;
    }
  }
  return true;
}

bool encode_at(const Schema& schema, const nlohmann::json& j, std::span<uint8_t> out, std::size_t base,
               const std::string& path, std::string* err) {
  if (!j.is_object()) return fail(err, (path.empty() ? "record" : path) + ": not an object");
  for (auto& [k, v] : j.items()) {
    if (k == "raw") continue;
    const Field* f = nullptr;
    for (auto& c : schema.fields)
      if (k == c.name) f = &c;
    if (!f) return fail(err, path + k + ": no such field");
    if (!put_field(*f, v, out, base, path, err)) return false;
  }
  if (auto it = j.find("raw"); it != j.end()) return put_raw(*it, out, base, path, err);
  return true;
}

}  // namespace

bool EncodeRecord(const Schema& schema, const nlohmann::json& j, std::span<uint8_t> out, std::string* err) {
  std::fill(out.begin(), out.end(), 0);
  return encode_at(schema, j, out, 0, "", err);
}

const Schema& GpioResSchema() {
  static const Schema s{{SIM_FIELD(GpioRes_t, Port, U8), SIM_FIELD(GpioRes_t, Bit, U8), SIM_FIELD(GpioRes_t, Index, U32),
                         SIM_FIELD(GpioRes_t, Type, U32)}};
  return s;
}

const Schema& LineAttrSchema() {
  static const Schema s{{SIM_FIELD(ResLineAttr_t, Rate, U32), SIM_FIELD(ResLineAttr_t, DataBits, U8), SIM_FIELD(ResLineAttr_t, Parity, U8),
                         SIM_FIELD(ResLineAttr_t, StopBits, U8)}};
  return s;
}

const Schema& UartResSchema() {
  static const Schema s{{
      SIM_FIELD(UartRes_t, Index, U32), SIM_FIELD(UartRes_t, DevName, Str, 64), SIM_FIELD(UartRes_t, UseFor, U32),
      SIM_FIELD(UartRes_t, UseMode, U32), SIM_FIELD(UartRes_t, IsBridge, U32), SIM_FIELD(UartRes_t, WorkMode, U32),
      SIM_FIELD(UartRes_t, RtsUseMode, U32), SIM_FIELD(UartRes_t, RtsGpio, Struct, 12, &GpioResSchema()),
      SIM_FIELD(UartRes_t, RtsReg, U32), SIM_FIELD(UartRes_t, RtsDelayMs, U32), SIM_FIELD(UartRes_t, TimeoutMs, U32),
      SIM_FIELD(UartRes_t, SyncByte, Bytes, 2), SIM_FIELD(UartRes_t, ChnMask, U32), SIM_FIELD(UartRes_t, I2cBus, U32),
      SIM_FIELD(UartRes_t, I2cAddr, U32), SIM_FIELD(UartRes_t, BridgeChn, U32),
  }};
  return s;
}

}  // namespace sim
