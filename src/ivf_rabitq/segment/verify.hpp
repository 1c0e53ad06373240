// Checksum verification of a segment directory's recorded files: the open's byte budget
// (TANDREL_VERIFY_MAX_BYTES, read once per process), the bounded check of the bulk files the
// open makes, the full check maintenance makes before it copies from a segment, and the CRC
// of one recorded file opened by the open's rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"

namespace ivf_rabitq::segment {


// The budget a TANDREL_VERIFY_MAX_BYTES value gives (nullptr: unset): Unicode white space
// trimmed, then an optional '+' and one or more ASCII digits fitting 64 bits; anything
// else (or text that is not UTF-8) gives 67108864.
uint64_t parse_verify_budget(const char* value);
// parse_verify_budget of the current environment.
uint64_t read_env();
// The process-wide budget: computed by the first call, returned unchanged afterwards.
uint64_t verify_open_budget();
// Verification of the bulk files recorded in `file_crcs` against dir (see verify_under);
// idhash.bin is included when `check_idhash` (the open keeps and uses it).
Status verify_files_under(const std::string& dir, const storage::FileCrcs& file_crcs, uint64_t budget,
                          bool check_idhash = false);
// Verification of every recorded data file of dir, whatever its size: the files the open
// checks and meta.bin, meta_off.bin and sparse.bin, which it only checks for shape. A
// recorded file that does not exist is skipped (nothing can be read from it). Same errors as
// verify_files_under.
Status verify_data_files(const std::string& dir, const storage::FileCrcs& file_crcs);
// CRC-32 of the recorded file `name` of dir, streamed through `buf` (non-empty), opened by the
// rules of the open: a single plain path component (else the invalid-input error "not a plain
// file name"), no symbolic link followed, no blocking on a FIFO, a regular file only.
Result<uint32_t> crc32_recorded_file(const std::string& dir, const std::string& name, std::span<uint8_t> buf);

}  // namespace ivf_rabitq::segment
