#include "mkde/linked_log.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "enginecore/coding.h"
#include "mkde/byte_reader.h"
#include "mkde/fs.h"

namespace mkde {

namespace {

constexpr char kTag1[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '1'};
constexpr char kTag2[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '2'};
constexpr char kTag3[8] = {'v', 's', 't', 'l', 'o', 'g', '0', '3'};
constexpr size_t kHash = 16;
constexpr size_t kKey = 16;
constexpr size_t kPrefix = 24;  // tag, C, page size, and a u32 (the partner count in version 3)
constexpr uint32_t kMaxPageSize = 1u << 20;
constexpr uint8_t kPlain = 1;
constexpr uint8_t kLinked = 2;
constexpr uint32_t kMaxParts = 4096;

std::string Hash(std::string_view bytes, std::string_view key) {
  std::string h(kHash, '\0');
  crypto_generichash(reinterpret_cast<unsigned char*>(h.data()), kHash,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                     reinterpret_cast<const unsigned char*>(key.data()), key.size());
  return h;
}

int VersionOf(std::string_view tag) {
  if (tag.size() < sizeof kTag3) return 0;
  if (std::memcmp(tag.data(), kTag3, sizeof kTag3) == 0) return 3;
  if (std::memcmp(tag.data(), kTag2, sizeof kTag2) == 0) return 2;
  if (std::memcmp(tag.data(), kTag1, sizeof kTag1) == 0) return 1;
  return 0;
}

void PutString(std::string* out, std::string_view s) {
  PutFixed32(out, static_cast<uint32_t>(s.size()));
  out->append(s);
}

bool GetString(ByteReader& in, std::string* out) {
  uint32_t n = 0;
  std::string_view s;
  if (!in.U32(&n) || n == 0 || n > kMaxLogPath || !in.Bytes(n, &s)) return false;
  out->assign(s);
  return true;
}

}  // namespace

std::string EncodeLogHeader(const LogHeader& h) {
  std::string out(kTag3, sizeof kTag3);
  PutFixed64(&out, h.checkpoint);
  PutFixed32(&out, h.page_size);
  PutFixed32(&out, static_cast<uint32_t>(h.partners.size()));
  out += h.metas;
  out += h.key;
  for (const std::string& p : h.partners) PutString(&out, p);
  out += Hash(out, {});
  return out;
}

size_t LogHeaderLimit(std::string_view prefix) {
  const int version = VersionOf(prefix);
  if (version == 0 || prefix.size() < kPrefix) return 0;
  const uint32_t psize = DecodeFixed32(reinterpret_cast<const uint8_t*>(prefix.data()) + 16);
  if (psize == 0 || psize > kMaxPageSize) return 0;
  size_t limit = kPrefix + size_t{2} * psize + (version >= 2 ? kKey : 0) + kHash;
  if (version == 3) limit += kMaxLogPartners * (4 + kMaxLogPath);
  return limit;
}

size_t DecodeLogHeader(std::string_view bytes, LogHeader* h) {
  if (LogHeaderLimit(bytes) == 0) return 0;
  ByteReader in(bytes);
  std::string_view tag;
  uint32_t count = 0;
  h->version = VersionOf(bytes);
  if (!in.Bytes(sizeof kTag3, &tag) || !in.U64(&h->checkpoint) || !in.U32(&h->page_size) ||
      !in.U32(&count)) {
    return 0;
  }
  if (h->version < 3 ? count != 0 : count > kMaxLogPartners) return 0;
  std::string_view metas, key;
  if (!in.Bytes(size_t{2} * h->page_size, &metas) || !in.Bytes(h->version >= 2 ? kKey : 0, &key)) {
    return 0;
  }
  h->metas.assign(metas);
  h->key.assign(key);
  h->partners.clear();
  for (uint32_t i = 0; i < count; ++i) {
    std::string p;
    if (!GetString(in, &p)) return 0;
    h->partners.push_back(std::move(p));
  }
  const size_t body = bytes.size() - in.left();
  std::string_view hash;
  if (!in.Bytes(kHash, &hash) || Hash(bytes.substr(0, body), {}) != hash) return 0;
  return body + kHash;
}

std::string EncodeLogEntry(const LogEntry& e, int version, std::string_view key) {
  std::string body;
  PutFixed64(&body, e.id);
  if (version >= 3) {
    body.push_back(static_cast<char>(e.linked ? kLinked : kPlain));
    if (e.linked) {
      body.append(e.identity);
      PutFixed32(&body, static_cast<uint32_t>(e.parts.size()));
      PutFixed32(&body, e.index);
      for (const LinkedPart& p : e.parts) {
        PutString(&body, p.path);
        PutFixed64(&body, p.after);
      }
    }
  }
  body += e.changes;
  std::string out;
  PutFixed32(&out, static_cast<uint32_t>(body.size()));
  out += body;
  out += Hash(out, key);
  return out;
}

bool DecodeLogEntry(std::string_view log, size_t at, int version, std::string_view key,
                    LogEntry* e) {
  if (at > log.size() || log.size() - at < 4) return false;
  const uint64_t length = DecodeFixed32(reinterpret_cast<const uint8_t*>(log.data()) + at);
  if (length < 8 || log.size() - at - 4 < length + kHash) return false;
  const std::string_view whole = log.substr(at, 4 + length);
  if (Hash(whole, key) != log.substr(at + 4 + length, kHash)) return false;
  ByteReader in(whole.substr(4));
  if (!in.U64(&e->id)) return false;
  e->linked = false;
  e->identity.clear();
  e->parts.clear();
  e->index = 0;
  if (version >= 3) {
    uint8_t kind = 0;
    if (!in.U8(&kind) || (kind != kPlain && kind != kLinked)) return false;
    e->linked = kind == kLinked;
  }
  if (e->linked) {
    std::string_view id;
    uint32_t count = 0;
    if (!in.Bytes(kLinkedIdSize, &id) || !in.U32(&count) || !in.U32(&e->index) || count < 2 ||
        count > kMaxParts || e->index >= count) {
      return false;
    }
    e->identity.assign(id);
    for (uint32_t i = 0; i < count; ++i) {
      LinkedPart p;
      if (!GetString(in, &p.path) || !in.U64(&p.after)) return false;
      e->parts.push_back(std::move(p));
    }
    if (e->parts[e->index].after != e->id) return false;
  }
  std::string_view changes;
  (void)in.Bytes(in.left(), &changes);
  e->changes.assign(changes);
  e->end = at + 4 + length + kHash;
  return true;
}

long PartnerLog::Find(std::string_view identity) const {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].linked && entries[i].identity == identity) return static_cast<long>(i);
  }
  return -1;
}

std::vector<LogEntry> WholeEntries(std::string_view bytes, size_t at, const LogHeader& header) {
  std::vector<LogEntry> entries;
  LogEntry e;
  uint64_t last = header.checkpoint;
  while (DecodeLogEntry(bytes, at, header.version, header.key, &e) && e.id == last + 1) {
    at = e.end;
    last = e.id;
    entries.push_back(std::move(e));
  }
  return entries;
}

Status ReadPartnerLog(const std::string& record, PartnerLog* out) {
  *out = PartnerLog{};
  const std::string path = record + "-log";
  int fd = Fs().Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? Status::kOk : Status::kIoError;
  struct stat st;
  std::string bytes;
  bool read = Fs().Fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kMaxLogRead;
  if (read) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (read && done < bytes.size()) {
      const ssize_t n =
          Fs().Pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        read = false;
      } else {
        done += static_cast<size_t>(n);
      }
    }
  }
  Fs().Close(fd);
  if (!read) return Status::kIoError;
  LogHeader header;
  const size_t at = DecodeLogHeader(bytes, &header);
  if (at == 0) return Status::kOk;
  out->found = true;
  out->entries = WholeEntries(bytes, at, header);
  return Status::kOk;
}

size_t LinkedDecision::Replayable(const std::string& path) {
  auto it = logs_.find(path);
  if (it == logs_.end()) return 0;
  Prefix(path, it->second.entries.size());
  return state_[path].prefix;
}

bool LinkedDecision::Prefix(const std::string& path, size_t n) {
  State& st = state_[path];
  if (n <= st.prefix) return true;
  auto it = logs_.find(path);
  // Transactions come in the same order in every file they share (each holds every
  // participant's gate from its first change to its commit), so an entry never waits on a
  // later one of its own log: a loop is a log that does not hold what it claims, decided no.
  if (it == logs_.end() || st.stopped || st.busy || n > it->second.entries.size()) return false;
  st.busy = true;
  while (st.prefix < n) {
    if (it->second.entries[st.prefix].linked && !Decided(path, st.prefix)) {
      st.stopped = true;
      break;
    }
    ++st.prefix;
  }
  st.busy = false;
  return n <= st.prefix;
}

bool LinkedDecision::Decided(const std::string& path, size_t at) {
  const std::vector<LogEntry>& own = logs_.at(path).entries;
  const LogEntry& e = own[at];
  for (size_t i = 0; i < e.parts.size(); ++i) {
    if (i == e.index) continue;
    const std::string& other = e.parts[i].path;
    auto it = logs_.find(other);
    const long found = it == logs_.end() ? -1 : it->second.Find(e.identity);
    if (found >= 0 && Prefix(other, static_cast<size_t>(found))) continue;
    // The other file's note names this transaction or a later one of this log: the two share
    // their transactions in the same order, so its state holds this one too.
    const std::string note = noted_ ? noted_(other, path) : std::string();
    bool covered = false;
    for (size_t k = at; k < own.size() && !note.empty() && !covered; ++k) {
      covered = own[k].linked && own[k].identity == note;
    }
    if (!covered) return false;
  }
  return true;
}

std::string LinkedNoteKey(std::string_view partner) {
  unsigned char h[16];
  crypto_generichash(h, sizeof h, reinterpret_cast<const unsigned char*>(partner.data()),
                     partner.size(), nullptr, 0);
  std::string key = "linked:";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : h) {
    key.push_back(kHex[c >> 4]);
    key.push_back(kHex[c & 15]);
  }
  return key;
}

std::string EncodeLinkedNote(uint64_t partner_after, std::string_view identity) {
  std::string out;
  PutFixed64(&out, partner_after);
  out.append(identity);
  return out;
}

std::string NoteIdentity(std::string_view value) {
  if (value.size() != 8 + kLinkedIdSize) return "";
  return std::string(value.substr(8));
}

}  // namespace mkde
