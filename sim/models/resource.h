// The simulated resource driver (/dev/vs_resource).  It answers from the
// "resource" section of board.json, read afresh on every open (the product
// opens the node for each request), so a test may change the board between
// requests:
//
//   "resource": {
//     "version": "V0.0.2", "size": 94976,      the handshake record
//     "node": true,                            false: no device node at all
//     "fail": ["FbdGetRes"],                   requests answered with EIO
//     "hwid": {"0": 8, "27": 6},               HWID answers; others fail
//     "records": {"SystemGetRes": {...}}       records by operation name
//   }
//
// A record is described by the field names of its struct (see record.h);
// records a board does not describe come back zeroed.
#pragma once

#include "sim/device.h"
#include "sim/models/record.h"

namespace sim {

struct ResRecordRow {
  const char* name;        // the product's operation name, the key in "records"
  unsigned long request;
  std::size_t size;
  const Schema* (*schema)();  // null: only "raw" pokes describe it
};

// Every record the driver knows; families add their schema to the table.
std::span<const ResRecordRow> ResRecordRows();

extern const Model kResourceModel;

// The record a board describes for `request`, as the driver hands it out.
bool EncodeResRecord(const nlohmann::json& resource, unsigned long request, std::vector<uint8_t>* out,
                     std::string* err);

}  // namespace sim
