#pragma once
// The mask over the security identifiers (SIDs) a Jet 4 database stores.
//
// MSysACEs.SID and MSysObjects.Owner hold every SID XORed with the start of
// an RC4 key stream (each value from the stream's first byte on). The
// stream's 32-bit key is folded out of page 0 with its header mask removed:
//
//   key  = the creation date's first 4 bytes (0x72..0x75, little-endian)
//   area = the 80 bytes from 0x42: the 40 password bytes with the
//          creation-date mask removed (the password in UTF-16LE, zeros after
//          it), then 0x6A..0x91 as they stand (the creation date among them)
//   key ^= area[2i] << (i mod 24), for i = 0 ... 39
//
// and used as an RC4 key of 4 bytes, little-endian. The password takes part,
// so a database given another password (or none) keeps its SIDs only when
// every one is masked again under the new key: Access reads SIDs that do not
// unmask to known ones as "no permission" and does not open the database.
// The XOR of the old and the new key stream converts a stored SID without
// ever knowing it in plain.

#include <cstdint>
#include <string_view>
#include <vector>

#include "jet/format/bytes.h"
#include "jet/format/page_file.h"

namespace jet {

// True for the columns that hold masked SIDs (names compared without regard to case).
bool is_sid_column(std::string_view table, std::string_view column);

// The SID key of a page 0 with its header mask removed (Header::plain).
// Throws Error(jet3) for an Access 97 page: Jet 3 stores its password
// without the creation-date mask, and how it masks SIDs is not established.
std::uint32_t sid_key(const PageBuf& plain_page0);

// An XOR mask over SID values: one key stream (masking and unmasking under
// one page 0), or the XOR of two (from one page 0's mask to another's).
class SidMask {
  public:
    explicit SidMask(std::uint32_t key);
    SidMask(std::uint32_t from, std::uint32_t to);

    // True when applying it changes nothing (the two keys give one stream).
    bool is_identity() const;
    // XORs the mask into `value` in place. A value can be no longer than a
    // page; a longer one throws Error(damaged).
    void apply(MutableBytes value) const;

  private:
    std::vector<std::uint8_t> stream_;  // a page's bytes
};

}  // namespace jet
