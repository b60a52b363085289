// Page output: the frame every HTML page is written in, the message page,
// writing and HTML escaping, lists cut into pages, the log's date format, the forms' validation
// scripts and the same field rules repeated on the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "page/version.h"

namespace orvanta {

inline constexpr char kProgramTitle[] = "orvanta ver." ORVANTA_VERSION " staff version ";
inline constexpr char kCgiName[] = "orvanta.cgi";

// ---- Frame (frame.cpp) ----------------------------------------------------------

// The CGI header and everything up to the opening of the centred body. The
// header block is written here alone: `status` (whole header lines, each
// ended by "\n": a Status line, then any Location or Set-Cookie; nullptr
// for none), the headers that forbid framing, type sniffing, cross-site
// referrers and caching, then Content-Type. In a session the body opens
// with the operator's name and the sign-out button.
void PrintPageHeader(const char* status = nullptr);
void PrintPageFooter();
// The header block of a file the browser saves (attachment) rather than
// shows: the same protecting headers, the type and the file name.
void PrintDownloadHeaders(const char* type, const char* file_name);
// A whole page holding one message; this form adds "<BR>\n" after it.
void PrintMessagePage(const char* message, bool back_link, const char* status = nullptr);
// The same page with the message written as it stands.
void PrintMessagePage(std::string message, bool back_link);

// The signed-in operator of the run: every page names them and offers
// ログアウト, and every POST form carries the session's form token in the
// field TOKEN. Unset (runs without sessions), pages are as they always were.
struct PageSession {
  std::string operator_name, form_token;
};
void SetPageSession(std::optional<PageSession> session);
const std::optional<PageSession>& CurrentPageSession();
inline constexpr char kFormTokenField[] = "TOKEN";
inline constexpr char kSignOutCommand[] = "LOGOUT";

// ---- Writing and escaping (out.cpp) ----------------------------------------------

// Every value from the request, the settings or the account database goes
// through Html or PutHtml before it is written into a page: & < > " ' become
// entities. Bytes of 0x80 and above (EUC-JP) are left alone.
std::string Html(std::string_view value);
// Standard output gets a 64 KiB buffer; called once at start.
void UseLargeOutputBuffer();

// Collects the many small pieces of a list's rows and hands them to
// standard output in large pieces. Whatever the page writes with stdio
// before it must come before it is made, and what comes after must wait
// until it is flushed or gone.
class RowWriter {
 public:
  static constexpr size_t kSize = size_t{64} * 1024;
  RowWriter() = default;
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;
  ~RowWriter();
  void Put(std::string_view text);
  // The value escaped as Html escapes it, without a copy.
  void PutHtml(std::string_view value);
  void PutUnsigned(std::uint64_t value);
  // <INPUT TYPE="type" NAME="field" VALUE="value">, the value escaped.
  void PutInput(std::string_view type, std::string_view field, std::string_view value);
  // "<TD NOWRAP>", the escaped value and `end`; `when_empty` for an empty
  // value (whose cell holds a line break, so that the table draws its border).
  void PutTextCell(std::string_view value, std::string_view end, std::string_view when_empty);
  void Flush();

 private:
  char buffer_[kSize];
  size_t used_ = 0;
};

// ---- CSV files (csv.cpp) ----------------------------------------------------------

// A file of RFC 4180 rows sent for download: the response's headers (those
// of every page, Content-Type text/csv and Content-Disposition attachment
// with the file name), UTF-8's byte order mark, then the rows, each ended
// by CRLF. Nothing is converted: values go out as the databases hold them.
// A text cell that starts with =, +, -, @, a tab or a CR gets a leading '
// so that no spreadsheet runs it; a cell holding a quote, comma or line
// break is quoted, its quotes doubled.
class CsvWriter {
 public:
  explicit CsvWriter(const char* file_name);
  void Text(std::string_view value);
  void Number(std::uint64_t value);
  // A day count, or an empty cell for none (negative).
  void Days(long days);
  void EndRow();
  // The rows ended so far, the heading's included.
  size_t rows() const { return rows_; }

 private:
  void Separate();
  RowWriter out_;
  size_t cells_ = 0;
  size_t rows_ = 0;
};

// ---- Pages that show their rows as the work goes on (progress.cpp) ---------------

// The rows of the batch and deletion and lock result pages: the page writes
// the cells of the heading and of each row without their "</TR>", and this
// ends them, with a last cell "n / N 件" (heading 進捗) when the rows are
// counted, and hands each row to the client at once. After a write that
// failed, nothing more is written; the work goes on to its end.
class RowProgress {
 public:
  RowProgress(size_t total, bool counted);
  void EndHeading() const;
  void EndRow();

 private:
  size_t total_;
  size_t done_ = 0;
  bool counted_;
};

// printf into a string of any length (messages built before a page exists).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Form pieces shared by the pages (forms.cpp) -----------------------------------------

// "<FORM ...>" posting to the program itself, and in a session the form
// token; entry forms are named "form" because the validation scripts
// address document.form.
void PrintFormOpening(bool named_form);
// The same for a form that sends a file (multipart/form-data): the token's
// part comes first.
void PrintUploadFormOpening();
// The opening of a POST form of the program and its hidden fields (the
// command): every form that changes something starts here.
void PrintPostFormOpening(const char* command);
void PrintHiddenField(const char* name, const std::string& value);
// "<TD><SELECT ...>" opening of a one-line selection list, and its closing.
void PrintSelectOpening(const char* name);
void PrintSelectClosing();
// One option whose value and label are the same text.
void PrintOption(const std::string& value, bool selected);
// The last row of an entry form: its button (which runs the form's checks)
// and the reset button, right-aligned over `columns` columns.
void PrintButtonRow(int columns, const char* button, bool blank_line_after);

// The end of a selection list's form: submit, reset, and "</FORM>".
enum class SelectionAction { Modify, Delete };
void PrintSelectionFormClosing(SelectionAction action);

// The lists repeat their heading row above every block of this many rows.
inline constexpr int kRowsPerHeading = 10;

// ---- Lists cut into pages (paging.cpp) ----------------------------------------------

// Which of a list's `total` rows a page holds: `count` from the 0-based
// position `first`; page_size 0 is every row on one page, as the lists were
// before they had pages.
struct PageWindow {
  size_t total = 0, first = 0, count = 0, page_size = 0;
};
// FROM (`from`) is the position of the page's first row; missing, not a
// number or past the end is the first page.
PageWindow WindowOf(size_t total, size_t page_size, std::string_view from);
// FROM as a position, before the rows are counted: 0 when it is no number.
size_t FirstRowOf(std::string_view from);

// What a list page was asked for, which its search form and links carry on.
struct ListQuery {
  std::string_view command;                // the GET command (VIEW for DEFAULT)
  const std::string* group = nullptr;      // GNAME, on the pages of one group
  std::string_view find;                   // FIND
  const std::string* unused = nullptr;     // UNUSED, on the lists that search for it
};
// Above the table: a GET form of the same command with the field FIND when
// there are pages, and UNUSED where the list has it (pages or not);
// otherwise nothing.
void PrintFindForm(const ListQuery& query, const PageWindow& window);
// With pages, below the table: "N件中 a〜b件" and the links 最初 / 前へ / 次へ
// / 最後, each a link only when it leads to another page. Without pages,
// nothing.
void PrintPageLinks(const ListQuery& query, const PageWindow& window);
// Below a list: the link to the same rows as a CSV file, a GET of
// `command` with `query` ("&FIND=..." or "", already encoded) after it.
void PrintCsvLink(std::string_view command, std::string_view query);
// "&FIND=" and the search, or "" without one.
std::string FindQuery(std::string_view find);
// Every byte but ASCII letters, digits and "-._~" as %XX: a value in a link.
std::string UrlEncoded(std::string_view value);

// ---- Date (datetime.cpp) ---------------------------------------------------------

// Writes the current local time as "YYYY/MM/DD hh:mm" into buffer (>= 17 bytes).
void FormatDateTime(char* buffer);
// The same text for a given moment; what FormatDateTime uses.
std::string FormatDateTimeAt(std::time_t moment);
// Days since 1970-01-01, as shadow(5) counts them, of "YYYY-MM-DD" when it is
// a real calendar date; nullopt otherwise.
std::optional<long> DaysOfDate(std::string_view text);
// "YYYY-MM-DD" of a day count; "" for a negative one (none).
std::string DateOfDays(long days);

// The expiry date a lock gives an account (1970-01-02: no login of any
// kind, keys included, gets past the account check); never saved as a date
// of its own, since only a lock sets it. Both stores mark locks with it.
inline constexpr long kLockedExpiryDays = 1;

// ---- Field rules (field_rules.cpp) -------------------------------------------------
// The scripts' checks, repeated on the server. Each returns "" when the value
// passes, else the message the script's alert shows, as HTML (a line break
// as "<BR>\n", values escaped).

std::string UserNameProblem(std::string_view name);
std::string GroupNameProblem(std::string_view name);
std::string PasswordProblem(std::string_view pass, int max_length);
std::string CommentProblem(std::string_view gcos);
std::string HomeDirProblem(std::string_view dir);

enum class IdKind { User, Group };
// An id as the server accepts it (ids.cpp): blanks, then decimal digits
// worth at most 4294967295, however many leading zeros they have.
std::optional<std::uint32_t> ParseId(std::string_view text);
// Whether every byte is one of 0-9 (so also for "").
bool IsDigitsOnly(std::string_view text);
// nobody, nogroup, and -1 in 16 and 32 bits: never given to an account.
inline constexpr std::uint32_t kReservedIds[] = {65534, 65535, 4294967294U, 4294967295U};
bool IsReservedId(std::uint32_t id);
// Above the system threshold and not reserved: an id the pages may offer.
bool IsAboveSystemIds(std::uint32_t id, std::uint32_t threshold);
std::string IdNotNumberProblem(IdKind kind);
// A reserved id, or one not above the threshold.
std::string IdValueProblem(std::uint32_t id, std::uint32_t threshold, IdKind kind);
// The whole id rule; an empty text passes.
std::string IdProblem(std::string_view text, std::uint32_t threshold, IdKind kind);
// A group the user forms name that the snapshot does not hold.
std::string GroupMissingProblem(std::string_view group);
// A day count of password ageing: "-1" (none) or 1 to 5 digits (0-99999);
// the form's label starts the message.
std::optional<long> ParseDays(std::string_view text);
std::string DaysProblem(std::string_view text, const char* label);
// An expiry date: empty (none), or a real calendar date "YYYY-MM-DD" after
// 1970-01-02 (day 1 is the lock's mark).
std::string ExpiryDateProblem(std::string_view text);

// ---- Stored names and homes (stored.cpp) ---------------------------------------------
// The databases and the directory hold what whoever may write them wrote:
// the lists show it, the actions act only on what passes these.

// The names between the slashes of a path that starts with one ("/a//b/"
// gives "a", "", "b", "").
std::vector<std::string_view> PathComponents(std::string_view path);
// A stored account or group name a tool may get and a file name may be
// built from: not empty, not starting with '-', not dots alone, and without
// '/', ':', ',', blanks or control bytes.
bool IsTrustedStoredName(std::string_view name);
// A stored home the actions may act on: none (empty), or an absolute path
// without a "." or ".." component and without "//" (one '/' at its end is
// no component).
bool IsTrustedStoredHome(std::string_view path);
// The absolute path with empty and "." components dropped and each ".."
// taking the one before it; nullopt for a path that does not start with '/'.
std::optional<std::string> NormalisedPath(std::string_view path);
// Whether of two normalised paths one is the other or lies below it.
bool PathsOverlap(std::string_view a, std::string_view b);
// The directories above a normalised path, nearest first, "/" left out.
std::vector<std::string> PathParents(std::string_view path);

// ---- Validation scripts (scripts.cpp) ------------------------------------------------

// Passwords are 6 to 8 characters for DES hashes (which read only 8), up to
// 64 for the modern methods.
inline constexpr int kShortPasswordMax = 8;
inline constexpr int kLongPasswordMax = 64;

void PrintCheckName();
void PrintCheckPass();
void PrintCheckPass(int max_length);
void PrintChkUid();
void PrintChkGcos();
void PrintChkDir();
void PrintCheckAddData();
void PrintCheckModData();
void PrintCheckGName();
void PrintChkGid();
void PrintCheckAddGData();
void PrintChkAgeingDays();
void PrintChkExpire();
void PrintCheckAgeData();

// The lines that open and close the script block of a form page.
void PrintScriptOpen();
void PrintScriptClose();

// The whole script block of each entry form, functions in page order.
void PrintUserAddScripts(int password_max = kShortPasswordMax);
void PrintUserModScripts(int password_max = kShortPasswordMax);
void PrintGroupAddScripts();
void PrintUserAgeScripts();

}  // namespace orvanta
