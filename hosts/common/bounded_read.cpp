#include "hosts/common/bounded_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vastrel::cli {

LineRead ReadLine(std::istream& in, std::string& line, size_t limit) {
  line.clear();
  std::istream::sentry ready(in, /*noskipws=*/true);
  if (!ready) return LineRead::kEnd;
  std::streambuf* buffer = in.rdbuf();
  bool any = false;
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
      return any ? LineRead::kLine : LineRead::kEnd;
    }
    any = true;
    if (c == '\n') return LineRead::kLine;
    if (line.size() == limit) {
      buffer->sungetc();  // the byte past the limit stays unread
      return LineRead::kTooLong;
    }
    line.push_back(static_cast<char>(c));
  }
}

bool ReadWholeFile(const std::string& path, size_t limit, std::string* contents, std::string* why) {
  contents->clear();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  // One byte past the limit tells a file that is larger; nothing more is ever read.
  char chunk[65536];
  bool ok = true;
  while (ok) {
    const size_t want = std::min(sizeof chunk, limit + 1 - contents->size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = std::strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else {
      contents->append(chunk, static_cast<size_t>(n));
      if (contents->size() > limit) {
        *why = "larger than " + SizeText(limit);
        ok = false;
      }
    }
  }
  ::close(fd);
  if (!ok) contents->clear();
  return ok;
}

std::string SizeText(size_t bytes) {
  if (bytes >= (size_t{1} << 20) && bytes % (size_t{1} << 20) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace vastrel::cli
