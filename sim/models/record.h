// Driver records from board descriptions: a schema names the fields of a
// record (the product's own struct, by offset) so a board.json section can
// describe a record by field name.  Shared by the models that answer with
// records (the resource driver and others).
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace sim {

struct Schema;

enum class FieldKind { U8, U16, U32, Str, Bytes, Struct, Array };

struct Field {
  const char* name;
  std::size_t offset;
  FieldKind kind;
  std::size_t size = 4;            // bytes (Str, Bytes, Struct), element stride (Array)
  const Schema* sub = nullptr;     // Struct and Array elements
  std::size_t max = 0;             // Array: most elements
  long count_at = -1;              // Array: offset of the u32 count it fills, -1 for none
};

// A field of struct T: SIM_FIELD(T, member, Kind[, size, sub, max, count_at]).
#define SIM_FIELD(T, name, kind, ...) \
  ::sim::Field { #name, offsetof(T, name), ::sim::FieldKind::kind __VA_OPT__(, ) __VA_ARGS__ }

struct Schema {
  std::vector<Field> fields;
};

// Fills `out` (zeroed first) from a JSON object naming fields of `schema`.
// An object may also carry "raw": [{"at": N, "u8"|"u16"|"u32": V | "str": S |
// "bytes": [..]}] to set bytes the schema does not name (or spoil ones it
// does).  Unknown names, values that do not fit and writes past the end are
// errors.
bool EncodeRecord(const Schema& schema, const nlohmann::json& j, std::span<uint8_t> out, std::string* err);

// The GPIO line identity and UART line description, embedded by many records.
const Schema& GpioResSchema();
const Schema& UartResSchema();
const Schema& LineAttrSchema();

}  // namespace sim
