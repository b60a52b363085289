// The rows of a page whose work goes on while it is written: each row is
// handed to the client as soon as it is done, so that a long request shows
// how far it got and the web server never sees a silent program. A client
// that went away gets nothing more, and the work goes on to its end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "page/page.h"
#include "page/paging_texts.h"

namespace orvanta {

namespace {

constexpr char kRowEnd[] = "</TR>\n";

// From the first failed write on, standard output is /dev/null: the rest
// of the page costs nothing, and every change and record is still made.
void FlushOrStopWriting() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (sink >= 0) {
    dup2(sink, STDOUT_FILENO);
    close(sink);
  }
  std::clearerr(stdout);
}

}  // namespace

RowProgress::RowProgress(size_t total, bool counted) : total_(total), counted_(counted) {}

void RowProgress::EndHeading() const { std::fputs(counted_ ? kProgressHeadingEnd : kRowEnd, stdout); }

void RowProgress::EndRow() {
  ++done_;
  if (counted_) {
    std::printf(kProgressCellFormat, done_, total_);
  } else {
    std::fputs(kRowEnd, stdout);
  }
  FlushOrStopWriting();
}

}  // namespace orvanta
