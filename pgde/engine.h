// The PostgreSQL engine behind BTRCALL and BTRCALLID: the same operations and statuses as
// the embedded engine, with record files kept in a PostgreSQL database.
//
// Storage. A catalog table, vastrel_files, holds one row per record file: the file's name
// (bytes, as the caller gave them), its stored description (mkde/codec) and its owner
// record (mkde/crypto), never the owner name. Each file has a table vastrel_r<id> named
// after its catalog id, never after its name: pos (the record's position, from the
// sequence vastrel_s<id>, never reused), chg (the change counter that passive concurrency
// checks), rec (the record; sealed in the library at owner levels 2 and 3) and one column
// k<n> per key holding the key's order-preserving encoding (NULL for a null key the index
// leaves out), indexed on (k<n>, pos) so that duplicates keep insertion order.
//
// Clients. Each client (the process's default one, and one per BTRCALLID block) has its
// own connection: its transaction is a server transaction; record locks are session
// advisory locks on (file id << 32 | position), so they vanish with the connection; an open
// holds a shared advisory lock on (0, file id), an exclusive open the exclusive one.
//
// One instance per process; every call runs under one lock.
#pragma once

#include <cstdint>

namespace pgde {

int16_t Dispatch(uint16_t op, void* pos_block, void* data, uint32_t* data_len, void* key,
                 uint8_t key_len, int8_t key_num, void* client_id);

}  // namespace pgde
