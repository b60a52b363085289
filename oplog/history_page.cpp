// GET LOG: the operation log newest first, a page of records at a time,
// optionally only one person's or one operator's. The log is read
// backwards from the page's end in blocks, so the newest page costs the
// same few reads for a log of any size; only a filter, or the way to a
// newer page, reads further.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access/access.h"
#include "cgi/cgi.h"
#include "oplog/history_texts.h"
#include "oplog/oplog.h"
#include "page/page.h"

namespace orvanta {

namespace {

constexpr size_t kRecordsPerPage = 100;
constexpr std::uint64_t kBlockSize = std::uint64_t{64} * 1024;

struct OperationWords {
  std::string_view code;
  const char* words;
};

constexpr std::array<OperationWords, 12> kOperationWords = {{
    {"ADD", kOperationAdd},
    {"MOD", kOperationModify},
    {"DEL", kOperationDelete},
    {"GADD", kOperationGroupAdd},
    {"GDEL", kOperationGroupDelete},
    {"MADD", kOperationMemberAdd},
    {"MDEL", kOperationMemberDelete},
    {"LOCK", kOperationLock},
    {"UNLOCK", kOperationUnlock},
    {"AGE", kOperationAge},
    {"KEY", kOperationKeys},
    {"WEAKPW", kOperationWeakPassword},
}};

// Membership records name "person:group"; a filter on the person finds them.
constexpr std::array<std::string_view, 2> kMembershipCodes = {"MADD", "MDEL"};

// The time that ends a record written without an operator; '0' stands for
// any digit.
constexpr std::string_view kTimePattern = "0000/00/00 00:00";

// One line of the log. The name may hold commas, so the code ends at the
// first comma and the other fields are counted from the end: the last is
// the time, or else the operator (which never looks like a time) with the
// time before it. A line with too few commas for that is a name alone: the
// whole line.
struct Record {
  std::string_view time, code, name, address, who;
};

bool IsRecordTime(std::string_view field) {
  if (field.size() != kTimePattern.size()) return false;
  for (size_t i = 0; i < field.size(); ++i) {
    const bool digit = field[i] >= '0' && field[i] <= '9';
    if (kTimePattern[i] == '0' ? !digit : field[i] != kTimePattern[i]) return false;
  }
  return true;
}

// Code, name, address and time, the name holding any commas between.
std::optional<Record> FourFields(std::string_view line) {
  const size_t first = line.find(',');
  const size_t last = line.rfind(',');
  if (first == std::string_view::npos || last == first) return std::nullopt;
  const size_t before_last = line.rfind(',', last - 1);
  if (before_last == first) return std::nullopt;
  return Record{.time = line.substr(last + 1),
                .code = line.substr(0, first),
                .name = line.substr(first + 1, before_last - first - 1),
                .address = line.substr(before_last + 1, last - before_last - 1),
                .who = {}};
}

Record ParseRecord(std::string_view line) {
  const size_t last = line.rfind(',');
  std::string_view fields = line;
  std::string_view who;
  if (last != std::string_view::npos && !IsRecordTime(line.substr(last + 1))) {
    who = line.substr(last + 1);
    fields = line.substr(0, last);
  }
  std::optional<Record> record = FourFields(fields);
  if (record) {
    record->who = who;
    return *record;
  }
  Record whole;
  whole.name = line;
  return whole;
}

// Which records a page shows: all, or those of a name, of an operator (as
// the records hold it, even an empty one), or both.
struct Filter {
  std::string_view name;
  std::optional<std::string> who;
};

bool Matches(const Record& record, const Filter& filter) {
  if (filter.who && record.who != *filter.who) return false;
  if (filter.name.empty() || record.name == filter.name) return true;
  const bool membership = std::find(kMembershipCodes.begin(), kMembershipCodes.end(),
                                    record.code) != kMembershipCodes.end();
  return membership && record.name.substr(0, record.name.find(':')) == filter.name;
}

// The request's filter; an operator who may not see the whole history sees
// only their own records, whatever OPERATOR says.
Filter RequestedFilter() {
  Filter filter;
  filter.name = Param("NAME");
  if (!SeesWholeHistory()) {
    filter.who = OperatorField(CurrentOperator().name);
  } else if (const std::string& who = Param("OPERATOR"); !who.empty()) {
    filter.who = who;
  }
  return filter;
}

// Reads `size` bytes at `offset`; false when the file ends first (it may
// have been cut short since it was opened) or a read fails.
bool ReadAt(int fd, std::uint64_t offset, size_t size, std::string& out) {
  out.resize(size);
  size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// The lines before a position, the last first, out of one block read per
// 64 KiB of log; a line longer than a block is read on its own.
class BackwardLines {
 public:
  BackwardLines(int fd, std::uint64_t position) : fd_(fd), position_(position) {}

  std::uint64_t position() const { return position_; }

  // Moves the position back to the end of the line it falls in, unless it
  // is at the end of the file or of a line already.
  bool AlignToLineEnd(std::uint64_t size) {
    if (position_ == size || position_ == 0) return true;
    if (!Load(position_)) return false;
    if (block_.back() == '\n') return true;
    const std::optional<std::uint64_t> start = LineStart(position_);
    if (start) position_ = *start;
    return start.has_value();
  }

  // The line before the position, without its '\n', and where it starts;
  // moves the position there. False at the start of the file.
  bool Previous(std::string& line, std::uint64_t& start) {
    if (position_ == 0) return false;
    if (!Holds(position_) && !Load(position_)) return false;
    const std::optional<std::uint64_t> found = LineStart(position_);
    if (!found) return false;
    start = *found;
    const size_t length = static_cast<size_t>(position_ - start);
    if (start >= block_start_ && Holds(position_)) {
      line.assign(block_, static_cast<size_t>(start - block_start_), length);
    } else if (!ReadAt(fd_, start, length, line)) {
      return false;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    position_ = start;
    return true;
  }

 private:
  // Whether the block holds the bytes from its start up to `end`.
  bool Holds(std::uint64_t end) const {
    return end > block_start_ && end <= block_start_ + block_.size();
  }

  // The block of up to kBlockSize bytes that ends at `end`.
  bool Load(std::uint64_t end) {
    block_start_ = end > kBlockSize ? end - kBlockSize : 0;
    return ReadAt(fd_, block_start_, static_cast<size_t>(end - block_start_), block_);
  }

  // Where the line whose last byte lies at end - 1 starts: just past the
  // '\n' before that byte, or at the start of the file.
  std::optional<std::uint64_t> LineStart(std::uint64_t end) {
    for (std::uint64_t limit = end - 1; limit > 0; limit = block_start_) {
      if (!Holds(limit) && !Load(limit)) return std::nullopt;
      const void* newline = memrchr(block_.data(), '\n', static_cast<size_t>(limit - block_start_));
      if (newline != nullptr) {
        return block_start_ +
               static_cast<std::uint64_t>(static_cast<const char*>(newline) - block_.data()) + 1;
      }
    }
    return std::uint64_t{0};
  }

  int fd_;
  std::uint64_t position_;
  std::string block_;
  std::uint64_t block_start_ = 0;
};

// Calls `handle` with each line from `from` up to `size` (without its
// '\n') and the offset just past it, while it returns true.
void ForEachLineAfter(int fd, std::uint64_t from, std::uint64_t size,
                      const std::function<bool(std::string_view, std::uint64_t)>& handle) {
  std::string text;  // the bytes from `start` read and not yet handed out
  std::string block;
  std::uint64_t start = from;
  for (std::uint64_t offset = from; offset < size;) {
    const size_t length = static_cast<size_t>(std::min(kBlockSize, size - offset));
    if (!ReadAt(fd, offset, length, block)) return;
    offset += length;
    text += block;
    size_t begin = 0;
    for (;;) {
      const size_t newline = text.find('\n', begin);
      // The last line of a file need not end in '\n'.
      const size_t stop = newline != std::string::npos ? newline + 1
                          : offset == size             ? text.size()
                                                       : begin;
      if (stop == begin) break;
      std::string_view line(text.data() + begin, stop - begin);
      if (line.back() == '\n') line.remove_suffix(1);
      if (!handle(line, start + stop)) return;
      begin = stop;
    }
    text.erase(0, begin);
    start += begin;
  }
}

// What one page shows: its records newest first, and where the pages next
// to it end (nullopt for the newest page, which follows the end of the log).
struct HistoryPage {
  std::vector<std::string> lines;
  bool has_older = false;
  std::uint64_t older_from = 0;
  bool has_newer = false;
  std::optional<std::uint64_t> newer_from;
};

// FROM as the offset the page ends at: the end of the file when it is
// missing, 0, past the end or not a number.
std::uint64_t PageEnd(const std::string& text, std::uint64_t size) {
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value == 0 || value > size) return size;
  return value;
}

// The records before `from`, newest first, and whether one more matches.
void CollectOlder(int fd, std::uint64_t size, std::uint64_t& from, const Filter& filter,
                  HistoryPage& page) {
  BackwardLines lines(fd, from);
  if (!lines.AlignToLineEnd(size)) return;
  from = lines.position();
  std::string line;
  std::uint64_t start = 0;
  while (lines.Previous(line, start)) {
    if (!Matches(ParseRecord(line), filter)) continue;
    if (page.lines.size() == kRecordsPerPage) {
      page.has_older = true;
      return;
    }
    page.lines.push_back(line);
    page.older_from = start;
  }
}

// Whether records after `from` match, and where the page of the next
// kRecordsPerPage of them ends; fewer make the newest page.
void FindNewer(int fd, std::uint64_t size, std::uint64_t from, const Filter& filter,
               HistoryPage& page) {
  size_t found = 0;
  ForEachLineAfter(fd, from, size, [&](std::string_view line, std::uint64_t end) {
    if (!Matches(ParseRecord(line), filter)) return true;
    page.has_newer = true;
    if (++found < kRecordsPerPage) return true;
    page.newer_from = end;
    return false;
  });
}

// The page of the log that FROM and the filter ask for; an empty page when
// there is no log, and also, with a line on stderr, when it may not be read.
HistoryPage ReadHistoryPage(const Filter& filter) {
  HistoryPage page;
  const std::string path = OperationLogPath();
  const char* failure = nullptr;
  const int fd = OpenOwnLogFile(path, O_RDONLY, failure);
  if (fd < 0) {
    if (errno != ENOENT) ErrorLogLine("history not shown: " + Printable(path) + " " + failure);
    return page;
  }
  struct stat info {};
  if (fstat(fd, &info) == 0) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    std::uint64_t from = PageEnd(Param("FROM"), size);
    CollectOlder(fd, size, from, filter, page);
    FindNewer(fd, size, from, filter, page);
  }
  close(fd);
  return page;
}

// The link to another page of the history, ready for an HREF.
std::string HistoryHref(std::optional<std::uint64_t> from, const Filter& filter) {
  std::string href = std::string("./") + kCgiName + "?COMMAND=LOG";
  if (from) href += "&FROM=" + std::to_string(*from);
  if (!filter.name.empty()) href += "&NAME=" + UrlEncoded(filter.name);
  if (filter.who && !filter.who->empty()) href += "&OPERATOR=" + UrlEncoded(*filter.who);
  return Html(href);
}

// A cell of a row; an empty one holds a line break so that its border shows.
void PutCell(RowWriter& out, std::string_view value, std::string_view end) {
  if (value.empty()) {
    out.Put("<TD><BR>");
  } else {
    out.Put("<TD NOWRAP>");
    out.PutHtml(value);
  }
  out.Put(end);
}

void PutOperationCell(RowWriter& out, std::string_view code) {
  for (const OperationWords& operation : kOperationWords) {
    if (operation.code == code) {
      out.Put("<TD NOWRAP>");
      out.Put(operation.words);
      out.Put("</TD>\n");
      return;
    }
  }
  PutCell(out, code, "</TD>\n");
}

void PutRecordRow(RowWriter& out, const Record& record) {
  out.Put("<TR>");
  PutCell(out, record.time, "</TD>\n");
  PutOperationCell(out, record.code);
  PutCell(out, record.name, "</TD>\n");
  PutCell(out, record.address, "</TD>\n");
  PutCell(out, record.who, "</TD></TR>\n\n");
}

void PrintPageLinks(const HistoryPage& page, const Filter& filter) {
  if (!page.has_newer && !page.has_older) return;
  if (page.has_newer) {
    std::printf("<A HREF=\"%s\">%s</A>\n", HistoryHref(page.newer_from, filter).c_str(),
                kHistoryNewerLink);
  }
  if (page.has_older) {
    std::printf("<A HREF=\"%s\">%s</A>\n", HistoryHref(page.older_from, filter).c_str(),
                kHistoryOlderLink);
  }
  std::fputs("<BR>\n", stdout);
}

}  // namespace

bool SeesWholeHistory() { return CurrentScope().MayDo(Action::Log); }

void ExportOperationHistory() {
  const Filter filter = RequestedFilter();
  CsvWriter csv("history.csv");
  for (const char* heading : {"TIME", "CODE", "NAME", "ADDRESS", "OPERATOR"}) csv.Text(heading);
  csv.EndRow();
  const std::string path = OperationLogPath();
  const char* failure = nullptr;
  const int fd = OpenOwnLogFile(path, O_RDONLY, failure);
  struct stat info {};
  if (fd < 0) {
    if (errno != ENOENT) ErrorLogLine("history not shown: " + Printable(path) + " " + failure);
  } else if (fstat(fd, &info) == 0) {
    ForEachLineAfter(fd, 0, static_cast<std::uint64_t>(info.st_size),
                     [&](std::string_view line, std::uint64_t) {
                       const Record record = ParseRecord(line);
                       if (!Matches(record, filter)) return true;
                       for (std::string_view cell :
                            {record.time, record.code, record.name, record.address, record.who}) {
                         csv.Text(cell);
                       }
                       csv.EndRow();
                       return true;
                     });
  }
  if (fd >= 0) close(fd);
  AuditExport("history", csv.rows() - 1);
}

void PrintOperationHistory() {
  const Filter filter = RequestedFilter();
  const HistoryPage page = ReadHistoryPage(filter);
  PrintPageHeader();
  std::printf(kHistoryFilterFormat, kCgiName, Html(filter.name).c_str(),
              Html(filter.who.value_or("")).c_str());
  std::fputs(kHistoryOpening, stdout);
  {
    RowWriter out;
    out.Put(kHistoryHeading);
    for (size_t index = 0; index < page.lines.size(); ++index) {
      if (index > 0 && index % kRowsPerHeading == 0) out.Put(kHistoryHeading);
      PutRecordRow(out, ParseRecord(page.lines[index]));
    }
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageLinks(page, filter);
  std::string query;
  if (!filter.name.empty()) query += "&NAME=" + UrlEncoded(filter.name);
  if (filter.who && !filter.who->empty()) query += "&OPERATOR=" + UrlEncoded(*filter.who);
  PrintCsvLink("LOGCSV", query);
  PrintPageFooter();
}

}  // namespace orvanta
