// Builds IMX container bytes by hand, including broken ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace le::test {

struct RawMember {
  std::string name;
  std::string payload;
};

inline void putU16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xff));
  s.push_back(static_cast<char>(v >> 8));
}

inline void putU64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A well-formed version-`version` container holding `members` in order.
inline std::string imxBytes(const std::vector<RawMember>& members, uint16_t version = 2) {
  std::string head("IMX\0", 4);
  putU16(head, version);
  putU16(head, static_cast<uint16_t>(members.size()));
  uint64_t toc = 8;
  for (const RawMember& m : members) toc += 2 + m.name.size() + 16;
  uint64_t offset = toc;
  std::string payloads;
  for (const RawMember& m : members) {
    putU16(head, static_cast<uint16_t>(m.name.size()));
    head += m.name;
    putU64(head, offset);
    putU64(head, m.payload.size());
    offset += m.payload.size();
    payloads += m.payload;
  }
  return head + payloads;
}

}  // namespace le::test
